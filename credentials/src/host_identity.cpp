#include "credentials/host_identity.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include "common/common_routines.h"
#include "common/error_code.h"

namespace host_identity {
namespace {

void AppendLe32(Bytes& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void Append(Bytes& out, const std::string& s) { out.insert(out.end(), s.begin(), s.end()); }

// Resolves a symbolic link the way the root-device lookup needs it: an
// absolute canonical target is taken as it is (under `root`), anything else is
// made canonical relative to the link's directory. The result must exist.
int ResolveLink(const std::string& root, const std::string& link, std::string& resolved) {
    std::string target;
    int rc = common_routines::ReadSymLink(link, target);
    if (rc != ERR_NONE) return rc;
    if (!target.empty() && target[0] == '/' && common_routines::IsPathCanonical(target)) {
        resolved = root + target;
    } else {
        rc = common_routines::MakePathCanonical(target, link, resolved);
        // Expansion fails exactly when the target does not exist.
        if (rc == ERR_EXPAND_PATH) return ERR_INVALID_SYMLINK;
        if (rc != ERR_NONE) return rc;
    }
    if (!common_routines::CheckFileExists(resolved)) return ERR_INVALID_SYMLINK;
    return ERR_NONE;
}

}  // namespace

int CollectNetworkAddresses(const std::vector<std::string>& names, const std::string& sysClassNet,
                            const InterfaceQuery& query, NetworkAddressMap& addresses) {
    addresses.clear();
    for (const auto& name : names) {
        std::string entry = common_routines::JoinPath(sysClassNet, name);
        std::string target;
        int rc = common_routines::ReadSymLink(entry, target);
        if (rc != ERR_NONE) return rc;

        // A bonding master is virtual but carries the traffic of its slaves,
        // whose own addresses must not count twice.
        bool isVirtual = target.find("virtual") != std::string::npos;
        if (isVirtual && !common_routines::CheckFileExists(common_routines::JoinPath(entry, "bonding")))
            continue;
        if (common_routines::CheckFileExists(common_routines::JoinPath(entry, "bonding_slave")))
            continue;

        std::string address;
        rc = query.GetIpv4Address(name, address);
        if (rc == 1) continue;
        if (rc != ERR_NONE) return rc;
        HardwareAddress hw{};
        rc = query.GetHardwareAddress(name, hw);
        if (rc != ERR_NONE) return rc;
        addresses.emplace(address, hw);
    }
    return ERR_NONE;
}

NetworkInterfaces::NetworkInterfaces(std::string sysClassNet)
    : list_(::if_nameindex()),
      socket_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)),
      sysClassNet_(std::move(sysClassNet)) {}

NetworkInterfaces::~NetworkInterfaces() {
    if (socket_ >= 0) ::close(socket_);
    if (list_) ::if_freenameindex(list_);
}

int NetworkInterfaces::GetAddresses(NetworkAddressMap& addresses) const {
    if (socket_ < 0) return ERR_INVALID_FD;
    // A host always has an interface (at least the loopback), so a missing
    // list means the kernel could not be asked (netlink sockets refused by a
    // sandbox, no memory). Walking it as empty would derive a key without the
    // network part: files written with it would be lost once the list can be
    // read again, and files read with it would only fail as garbled text.
    if (list_ == nullptr) return ERR_DEVICE_CALL;
    std::vector<std::string> names;
    for (const auto& item : Names()) names.emplace_back(item.if_name);
    return CollectNetworkAddresses(names, sysClassNet_, *this, addresses);
}

int NetworkInterfaces::GetIpv4Address(const std::string& name, std::string& address) const {
    ifreq request{};
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    request.ifr_addr.sa_family = AF_INET;
    if (::ioctl(socket_, SIOCGIFADDR, &request) != 0) {
        return errno == EADDRNOTAVAIL ? 1 : ERR_DEVICE_CALL;
    }
    sockaddr_in in{};
    std::memcpy(&in, &request.ifr_addr, sizeof(in));
    address = ::inet_ntoa(in.sin_addr);
    return ERR_NONE;
}

int NetworkInterfaces::GetHardwareAddress(const std::string& name, HardwareAddress& address) const {
    ifreq request{};
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    if (::ioctl(socket_, SIOCGIFHWADDR, &request) != 0) return ERR_DEVICE_CALL;
    std::memcpy(address.data(), request.ifr_hwaddr.sa_data, address.size());
    return ERR_NONE;
}

LocalIdentitySource::LocalIdentitySource(std::string root)
    : root_(std::move(root)), interfaces_(root_ + "/sys/class/net") {}

int LocalIdentitySource::GetNetworkAddresses(NetworkAddressMap& addresses) const {
    return interfaces_.GetAddresses(addresses);
}

int LocalIdentitySource::GetCpuSignature(Bytes& signature) const {
    signature.clear();
#if defined(__x86_64__) || defined(__i386__)
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    __cpuid_count(0, 0, eax, ebx, ecx, edx);
    unsigned maxLeaf = eax;
    AppendLe32(signature, ebx);
    AppendLe32(signature, edx);
    AppendLe32(signature, ecx);
    if (maxLeaf == 0) return ERR_NONE;
    __cpuid_count(1, 0, eax, ebx, ecx, edx);
    AppendLe32(signature, eax);
    AppendLe32(signature, ecx);
    AppendLe32(signature, edx);
#else
    // Without CPUID the machine type is the most stable processor description.
    utsname name{};
    if (::uname(&name) == 0) Append(signature, name.machine);
#endif
    return ERR_NONE;
}

int LocalIdentitySource::GetMachineId(Bytes& machineId) const {
    machineId.clear();
    std::ifstream in(root_ + "/etc/machine-id", std::ios::binary);
    if (!in.is_open()) return ERR_OPEN_FILE;
    std::string line;
    const common_routines::WipeOnExit wipe(line);
    if (!std::getline(in, line)) return ERR_READ_FILE;
    if (line.empty()) return ERR_MACHINE_ID;
    Append(machineId, line);
    return ERR_NONE;
}

int LocalIdentitySource::GetRootFsUuid(Bytes& uuid) const {
    uuid.clear();
    std::ifstream mtab(root_ + "/etc/mtab", std::ios::binary);
    if (!mtab.is_open()) return ERR_OPEN_FILE;
    std::string device;
    std::string line;
    while (std::getline(mtab, line)) {
        auto fields = common_routines::SplitString(line, " ");
        if (fields.size() >= 3 && !fields[0].empty() && fields[0][0] == '/' && fields[1] == "/") {
            device = fields[0];
            break;
        }
    }
    if (device.empty()) return ERR_READ_FILE;

    std::string devicePath = root_ + device;
    if (!common_routines::CheckFileExists(devicePath)) return ERR_FILE_NOT_FOUND;
    if (common_routines::IsSymLink(devicePath)) {
        std::string resolved;
        int rc = ResolveLink(root_, devicePath, resolved);
        if (rc != ERR_NONE) return rc;
        devicePath = resolved;
    }

    auto entries = common_routines::GetFilePathListFromDir(root_ + "/dev/disk/by-uuid");
    if (entries.empty()) return ERR_ROOT_FS_UUID;
    for (const auto& entry : entries) {
        std::string resolved;
        int rc = ResolveLink(root_, entry, resolved);
        if (rc != ERR_NONE) return rc;
        if (resolved == devicePath) {
            Append(uuid, common_routines::ExtractFileName(entry));
            return ERR_NONE;
        }
    }
    return ERR_ROOT_FS_UUID;
}

int BuildDerivationInput(const IdentitySource& source, int32_t domain, Bytes& password, Bytes& salt,
                         const std::string& containerMarker) {
    password.clear();
    salt.clear();

    Bytes cpu;
    int rc = source.GetCpuSignature(cpu);
    if (rc != ERR_NONE) return rc;
    NetworkAddressMap addresses;
    rc = source.GetNetworkAddresses(addresses);
    if (rc != ERR_NONE) return rc;

    Bytes machineId, rootUuid;
    rc = source.GetMachineId(machineId);
    if (rc != ERR_NONE) {
        machineId.clear();
    } else {
        rc = source.GetRootFsUuid(rootUuid);
    }
    if (rc != ERR_NONE) {
        // Containers often have neither a machine ID nor a block device for
        // "/"; there the processor and network pieces alone bind the key.
        if (::access(containerMarker.c_str(), F_OK) != 0) return rc;
        rootUuid.clear();
    }

    password = cpu;
    for (const auto& [address, hw] : addresses) {
        Append(password, address);
        password.insert(password.end(), hw.begin(), hw.end());
    }
    AppendLe32(salt, static_cast<uint32_t>(domain));
    salt.insert(salt.end(), machineId.begin(), machineId.end());
    salt.insert(salt.end(), rootUuid.begin(), rootUuid.end());
    return ERR_NONE;
}

}  // namespace host_identity
