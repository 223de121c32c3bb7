#pragma once

// Identity of the host that secrets are bound to: processor signature, network
// hardware addresses, machine ID and root file-system UUID. The credential store
// derives its keys from these pieces on every use; nothing here is cached.

#include <net/if.h>

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/secure_buffer.h"

namespace host_identity {

// Together the pieces are the whole input of a key: every copy is wiped when
// it is released.
using Bytes = common_routines::SecureBuffer;
using HardwareAddress = std::array<uint8_t, 6>;
// IPv4 address in dotted text -> 6-byte hardware address, ordered byte-wise by
// the address text so that the kernel's interface order does not matter.
using NetworkAddressMap = std::map<std::string, HardwareAddress>;
// One element of the kernel's interface list (the struct shares its name with
// the function that returns the list).
using InterfaceEntry = struct ::if_nameindex;

// Source of the four identity pieces. Each operation replaces the contents of
// its output and returns an error code (0 on success).
class IdentitySource {
public:
    virtual ~IdentitySource() = default;
    virtual int GetNetworkAddresses(NetworkAddressMap& addresses) const = 0;
    virtual int GetCpuSignature(Bytes& signature) const = 0;
    virtual int GetRootFsUuid(Bytes& uuid) const = 0;
    virtual int GetMachineId(Bytes& machineId) const = 0;
};

// Begin/end view over a kernel interface list (if_nameindex). The end is the
// first element with index 0 and a null name; a null list is an empty range.
class InterfaceNameList {
public:
    class Iterator {
    public:
        explicit Iterator(const InterfaceEntry* p) : p_(p) {}
        const InterfaceEntry& operator*() const { return *p_; }
        const InterfaceEntry* operator->() const { return p_; }
        Iterator& operator++() {
            ++p_;
            return *this;
        }
        bool operator==(const Iterator& other) const { return Normal() == other.Normal(); }

    private:
        const InterfaceEntry* Normal() const {
            return p_ && p_->if_index == 0 && p_->if_name == nullptr ? nullptr : p_;
        }
        const InterfaceEntry* p_;
    };

    explicit InterfaceNameList(const InterfaceEntry* list) : list_(list) {}
    Iterator begin() const { return Iterator(list_); }
    Iterator end() const { return Iterator(nullptr); }

private:
    const InterfaceEntry* list_;
};

// Address requests for one interface, separated from the walk over the
// interfaces so that the walk can be exercised without real devices.
class InterfaceQuery {
public:
    virtual ~InterfaceQuery() = default;
    // IPv4 address of the interface in dotted text. Returns 0, 1 when the
    // interface has no IPv4 address, or ERR_DEVICE_CALL.
    virtual int GetIpv4Address(const std::string& name, std::string& address) const = 0;
    // Returns 0 or ERR_DEVICE_CALL.
    virtual int GetHardwareAddress(const std::string& name, HardwareAddress& address) const = 0;
};

// Walks the interfaces in the given order and fills the map: virtual interfaces
// are skipped unless they are bonding masters, bonding slaves are skipped, and
// so are interfaces without an IPv4 address. The first interface met keeps an
// address that several carry. `sysClassNet` is the directory holding one link
// per interface ("/sys/class/net" on a real host).
int CollectNetworkAddresses(const std::vector<std::string>& names, const std::string& sysClassNet,
                            const InterfaceQuery& query, NetworkAddressMap& addresses);

// The kernel's interface list and a datagram socket for address requests.
class NetworkInterfaces : public InterfaceQuery {
public:
    explicit NetworkInterfaces(std::string sysClassNet = "/sys/class/net");
    ~NetworkInterfaces() override;
    NetworkInterfaces(const NetworkInterfaces&) = delete;
    NetworkInterfaces& operator=(const NetworkInterfaces&) = delete;

    InterfaceNameList Names() const { return InterfaceNameList(list_); }
    // ERR_INVALID_FD when the socket could not be created, ERR_DEVICE_CALL when
    // the kernel's list could not be taken; otherwise as
    // CollectNetworkAddresses over the kernel's list.
    int GetAddresses(NetworkAddressMap& addresses) const;

    int GetIpv4Address(const std::string& name, std::string& address) const override;
    int GetHardwareAddress(const std::string& name, HardwareAddress& address) const override;

private:
    InterfaceEntry* list_;
    int socket_;
    std::string sysClassNet_;
};

// Identity of the running host. `root` prefixes every file the pieces are read
// from ("/etc/machine-id", "/etc/mtab", "/dev/disk/by-uuid", "/sys/class/net");
// it is empty in production and names a prepared tree in tests.
class LocalIdentitySource : public IdentitySource {
public:
    explicit LocalIdentitySource(std::string root = "");
    int GetNetworkAddresses(NetworkAddressMap& addresses) const override;
    int GetCpuSignature(Bytes& signature) const override;
    int GetRootFsUuid(Bytes& uuid) const override;
    int GetMachineId(Bytes& machineId) const override;

private:
    std::string root_;
    NetworkInterfaces interfaces_;
};

// Password and salt of the key derivation for one domain:
//   password = CPU signature, then per map entry its address text and 6 bytes;
//   salt     = domain (32-bit little-endian), machine ID, root FS UUID.
// A failed machine ID or root FS UUID is forgiven (left empty) when the file
// `containerMarker` exists; CPU and network failures never are.
int BuildDerivationInput(const IdentitySource& source, int32_t domain, Bytes& password,
                         Bytes& salt, const std::string& containerMarker = "/.dockerenv");

// Iteration count of the password-based key derivation.
inline constexpr int kDerivationIterations = 2000;

}  // namespace host_identity
