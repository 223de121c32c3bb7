#include "credentials/host_identity.h"

#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>

#include "common/error_code.h"
#include "identity_fixtures.h"
#include "test_support.h"

namespace fs = std::filesystem;
using host_identity::Bytes;
using host_identity::HardwareAddress;
using host_identity::NetworkAddressMap;

namespace {

Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Answers address requests from a table; interfaces not in it have no IPv4.
class FakeQuery : public host_identity::InterfaceQuery {
public:
    struct Entry {
        std::string ipv4;
        HardwareAddress mac;
        int ipv4_rc = 0;
        int mac_rc = 0;
    };
    std::map<std::string, Entry> entries;

    int GetIpv4Address(const std::string& name, std::string& address) const override {
        auto it = entries.find(name);
        if (it == entries.end()) return 1;
        if (it->second.ipv4_rc != 0) return it->second.ipv4_rc;
        address = it->second.ipv4;
        return 0;
    }
    int GetHardwareAddress(const std::string& name, HardwareAddress& address) const override {
        auto it = entries.find(name);
        if (it->second.mac_rc != 0) return it->second.mac_rc;
        address = it->second.mac;
        return 0;
    }
};

// A /sys/class/net look-alike: one link per interface, pointing into a
// "devices" tree whose path tells whether the interface is virtual.
class SysNet {
public:
    SysNet() : net_(scratch_.MakeDir("class/net")) {}
    const std::string& path() const { return net_; }
    void Add(const std::string& name, bool isVirtual, bool bondingMaster = false, bool bondingSlave = false) {
        std::string device = scratch_.MakeDir(std::string(isVirtual ? "devices/virtual/net/" : "devices/pci0/net/") + name);
        if (bondingMaster) fs::create_directory(device + "/bonding");
        if (bondingSlave) fs::create_directory(device + "/bonding_slave");
        fs::create_symlink(device, net_ + "/" + name);
    }

private:
    testsupport::ScratchDir scratch_;
    std::string net_;
};

TEST(HostIdentityNetwork, SelectsPhysicalInterfacesAndBondingMastersOnly) {
    SysNet sys;
    sys.Add("eth0", false);
    sys.Add("lo", true);
    sys.Add("bond0", true, /*bondingMaster=*/true);
    sys.Add("eth1", false, false, /*bondingSlave=*/true);
    sys.Add("eth2", false);  // no IPv4 address
    FakeQuery query;
    query.entries["eth0"] = {"10.0.0.5", {1, 2, 3, 4, 5, 6}};
    query.entries["lo"] = {"127.0.0.1", {0, 0, 0, 0, 0, 0}};
    query.entries["bond0"] = {"10.0.1.1", {7, 7, 7, 7, 7, 7}};
    query.entries["eth1"] = {"10.0.2.2", {9, 9, 9, 9, 9, 9}};

    NetworkAddressMap map;
    ASSERT_EQ(0, host_identity::CollectNetworkAddresses({"eth0", "lo", "bond0", "eth1", "eth2"}, sys.path(),
                                                        query, map));
    NetworkAddressMap expected{{"10.0.0.5", {1, 2, 3, 4, 5, 6}}, {"10.0.1.1", {7, 7, 7, 7, 7, 7}}};
    EXPECT_EQ(expected, map);
}

TEST(HostIdentityNetwork, OrderOfInterfacesDoesNotMatterButFirstDuplicateWins) {
    SysNet sys;
    for (const char* n : {"a", "b", "c"}) sys.Add(n, false);
    FakeQuery query;
    query.entries["a"] = {"10.0.0.10", {1, 1, 1, 1, 1, 1}};
    query.entries["b"] = {"10.0.0.9", {2, 2, 2, 2, 2, 2}};
    query.entries["c"] = {"10.0.0.9", {3, 3, 3, 3, 3, 3}};

    NetworkAddressMap forward, backward;
    ASSERT_EQ(0, host_identity::CollectNetworkAddresses({"a", "b"}, sys.path(), query, forward));
    ASSERT_EQ(0, host_identity::CollectNetworkAddresses({"b", "a"}, sys.path(), query, backward));
    EXPECT_EQ(forward, backward);
    // Byte-wise order of the address text: "10.0.0.10" < "10.0.0.9".
    EXPECT_EQ("10.0.0.10", forward.begin()->first);

    NetworkAddressMap dup;
    ASSERT_EQ(0, host_identity::CollectNetworkAddresses({"c", "b"}, sys.path(), query, dup));
    EXPECT_EQ((HardwareAddress{3, 3, 3, 3, 3, 3}), dup.at("10.0.0.9"));
}

TEST(HostIdentityNetwork, FailuresEndTheWalk) {
    SysNet sys;
    sys.Add("eth0", false);
    FakeQuery query;
    NetworkAddressMap map;
    // No link for the interface in the sysfs directory.
    EXPECT_EQ(ERR_READ_SYMLINK, host_identity::CollectNetworkAddresses({"missing"}, sys.path(), query, map));

    query.entries["eth0"] = {"10.0.0.5", {1, 2, 3, 4, 5, 6}, ERR_DEVICE_CALL, 0};
    EXPECT_EQ(ERR_DEVICE_CALL, host_identity::CollectNetworkAddresses({"eth0"}, sys.path(), query, map));
    query.entries["eth0"] = {"10.0.0.5", {1, 2, 3, 4, 5, 6}, 0, ERR_DEVICE_CALL};
    EXPECT_EQ(ERR_DEVICE_CALL, host_identity::CollectNetworkAddresses({"eth0"}, sys.path(), query, map));

    EXPECT_EQ(0, host_identity::CollectNetworkAddresses({}, sys.path(), query, map));
    EXPECT_TRUE(map.empty());
}

TEST(HostIdentityNetwork, InterfaceNameListStopsAtTerminatorAndToleratesNull) {
    host_identity::InterfaceEntry list[3] = {};
    list[0].if_index = 1;
    list[0].if_name = const_cast<char*>("lo");
    list[1].if_index = 2;
    list[1].if_name = const_cast<char*>("eth0");
    std::vector<std::string> names;
    for (const auto& e : host_identity::InterfaceNameList(list)) names.emplace_back(e.if_name);
    EXPECT_EQ((std::vector<std::string>{"lo", "eth0"}), names);

    int count = 0;
    for ([[maybe_unused]] const auto& e : host_identity::InterfaceNameList(nullptr)) ++count;
    EXPECT_EQ(0, count);
}

TEST(HostIdentityNetwork, RealHostListsItsAddresses) {
    host_identity::NetworkInterfaces interfaces;
    NetworkAddressMap map;
    ASSERT_EQ(0, interfaces.GetAddresses(map));
    // The loopback interface is virtual and never counts.
    EXPECT_EQ(0u, map.count("127.0.0.1"));
}

TEST(HostIdentityNetwork, NoSocketIsAnInvalidDescriptor) {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer runtime needs descriptors of its own for its checks, so it
    // cannot run in a process that is left with none.
    GTEST_SKIP() << "not meaningful under the sanitizer runtime";
#endif
    // With no descriptor left to open, the query socket cannot be created.
    EXPECT_EQ(0, testsupport::RunInChild([] {
        for (int fd = 3; fd < 1024; ++fd) close(fd);
        rlimit limit{3, 3};
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return 10;
        host_identity::NetworkInterfaces interfaces;
        NetworkAddressMap map;
        return interfaces.GetAddresses(map) == ERR_INVALID_FD ? 0 : 11;
    }));
}

TEST(HostIdentityNetwork, UnreadableInterfaceListIsADeviceFailure) {
    // A sandbox that refuses netlink sockets (as service managers can) keeps
    // the kernel's interface list out of reach while the query socket works.
    const int rc = testsupport::RunInChild([] {
        sock_filter filter[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_socket, 0, 3),
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_NETLINK, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EAFNOSUPPORT),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
            prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
            return 77;
        host_identity::NetworkInterfaces interfaces;
        NetworkAddressMap map;
        return interfaces.GetAddresses(map) == ERR_DEVICE_CALL ? 0 : 11;
    });
    if (rc == 77) GTEST_SKIP() << "system call filters are not available here";
    EXPECT_EQ(0, rc);
}

TEST(HostIdentityCpu, SignatureIsVendorAndLeafOne) {
    host_identity::LocalIdentitySource source;
    Bytes a, b;
    ASSERT_EQ(0, source.GetCpuSignature(a));
    ASSERT_EQ(0, source.GetCpuSignature(b));
    EXPECT_EQ(a, b);
#if defined(__x86_64__)
    ASSERT_EQ(24u, a.size());
    std::string vendor(a.begin(), a.begin() + 12);
    EXPECT_TRUE(vendor == "GenuineIntel" || vendor == "AuthenticAMD" || vendor.find_first_of('\0') == std::string::npos)
        << vendor;
#endif
}

TEST(HostIdentityFiles, MachineIdAndRootUuidFromAPreparedRoot) {
    testsupport::ScratchDir root;
    identity_fixtures::MakeRoot(root.path(), "0123abcd\n", "/dev/sda1 / ext4 rw 0 0\n", "uuid-1234");
    host_identity::LocalIdentitySource source(root.path());
    Bytes id, uuid;
    ASSERT_EQ(0, source.GetMachineId(id));
    EXPECT_EQ(B("0123abcd"), id);
    ASSERT_EQ(0, source.GetRootFsUuid(uuid));
    EXPECT_EQ(B("uuid-1234"), uuid);
}

TEST(HostIdentityFiles, RootDeviceReachedThroughALinkAndOtherUuidsIgnored) {
    testsupport::ScratchDir root;
    identity_fixtures::MakeRoot(root.path(), "id\n",
                                "rootfs / rootfs rw 0 0\n/dev/other /boot ext4 rw 0 0\n"
                                "/dev/mapper/vg-root / xfs rw 0 0\n",
                                "uuid-of-sda1");
    fs::create_directories(root / "dev/mapper");
    testsupport::WriteFileOrDie(root / "dev/dm-0", "");
    fs::create_symlink("../dm-0", root / "dev/mapper/vg-root");
    fs::create_symlink("../../dm-0", root / "dev/disk/by-uuid/uuid-of-dm0");
    host_identity::LocalIdentitySource source(root.path());
    Bytes uuid;
    ASSERT_EQ(0, source.GetRootFsUuid(uuid));
    EXPECT_EQ(B("uuid-of-dm0"), uuid);
}

TEST(HostIdentityFiles, EveryFailureHasItsCode) {
    testsupport::ScratchDir root;
    host_identity::LocalIdentitySource source(root.path());
    Bytes out;
    fs::create_directories(root / "etc");
    EXPECT_EQ(ERR_OPEN_FILE, source.GetMachineId(out));
    EXPECT_EQ(ERR_OPEN_FILE, source.GetRootFsUuid(out));

    testsupport::WriteFileOrDie(root / "etc/machine-id", "");
    EXPECT_EQ(ERR_READ_FILE, source.GetMachineId(out));
    testsupport::WriteFileOrDie(root / "etc/machine-id", "\nsecond\n");
    EXPECT_EQ(ERR_MACHINE_ID, source.GetMachineId(out));

    // No line names the root device ("/" in the second field, device path first).
    testsupport::WriteFileOrDie(root / "etc/mtab", "proc /proc proc rw 0 0\noverlay / overlay rw 0 0\n");
    EXPECT_EQ(ERR_READ_FILE, source.GetRootFsUuid(out));

    testsupport::WriteFileOrDie(root / "etc/mtab", "/dev/sda1 / ext4 rw 0 0\n");
    EXPECT_EQ(ERR_FILE_NOT_FOUND, source.GetRootFsUuid(out));

    fs::create_directories(root / "dev/disk/by-uuid");
    testsupport::WriteFileOrDie(root / "dev/sda1", "");
    EXPECT_EQ(ERR_ROOT_FS_UUID, source.GetRootFsUuid(out));  // empty by-uuid

    testsupport::WriteFileOrDie(root / "dev/sdb1", "");
    fs::create_symlink("../../sdb1", root / "dev/disk/by-uuid/other");
    EXPECT_EQ(ERR_ROOT_FS_UUID, source.GetRootFsUuid(out));  // none is the root device

    fs::create_symlink("../../gone", root / "dev/disk/by-uuid/dangling");
    int rc = source.GetRootFsUuid(out);
    // Depending on directory order the dangling entry is met first or after
    // the non-matching one.
    EXPECT_TRUE(rc == ERR_INVALID_SYMLINK || rc == ERR_ROOT_FS_UUID) << rc;
    fs::remove(root / "dev/disk/by-uuid/other");
    EXPECT_EQ(ERR_INVALID_SYMLINK, source.GetRootFsUuid(out));
    fs::remove(root / "dev/disk/by-uuid/dangling");
    fs::create_symlink("/dev/nowhere", root / "dev/disk/by-uuid/absolute-dangling");
    EXPECT_EQ(ERR_INVALID_SYMLINK, source.GetRootFsUuid(out));

    // The root device itself is a dangling link.
    fs::remove(root / "dev/sda1");
    fs::create_symlink("nothing-here", root / "dev/sda1");
    EXPECT_EQ(ERR_FILE_NOT_FOUND, source.GetRootFsUuid(out));
}

// Calls of chdir/fchdir made anywhere in this test program; each is still
// carried out. The root-device walk runs inside the database server, whose
// working directory must never move.
int g_directory_changes = 0;

}  // namespace

extern "C" int chdir(const char* path) {
    ++g_directory_changes;
    return static_cast<int>(syscall(SYS_chdir, path));
}

extern "C" int fchdir(int fd) {
    ++g_directory_changes;
    return static_cast<int>(syscall(SYS_fchdir, fd));
}

namespace {

TEST(HostIdentityFiles, WalkToTheRootDeviceNeverChangesTheWorkingDirectory) {
    testsupport::ScratchDir root;
    identity_fixtures::MakeRoot(root.path(), "id\n", "/dev/mapper/vg-root / xfs rw 0 0\n", "uuid-other");
    fs::create_directories(root / "dev/mapper");
    testsupport::WriteFileOrDie(root / "dev/dm-0", "");
    fs::create_symlink("../dm-0", root / "dev/mapper/vg-root");
    fs::create_symlink("../../dm-0", root / "dev/disk/by-uuid/uuid-of-dm0");
    host_identity::LocalIdentitySource source(root.path());
    const fs::path before = fs::current_path();
    g_directory_changes = 0;
    Bytes uuid;
    EXPECT_EQ(0, source.GetRootFsUuid(uuid));
    // Failing walks: the root device is a dangling relative link, or a link
    // through a directory that does not exist.
    for (const char* target : {"../gone", "../no-such-dir/x/../../dm-0"}) {
        fs::remove(root / "dev/mapper/vg-root");
        fs::create_symlink(target, root / "dev/mapper/vg-root");
        EXPECT_NE(0, source.GetRootFsUuid(uuid)) << target;
    }
    EXPECT_EQ(0, g_directory_changes);
    EXPECT_EQ(before, fs::current_path());
}

TEST(HostIdentityDerivation, PasswordAndSaltBytesForAFixedHost) {
    identity_fixtures::FixedIdentity host;
    Bytes password, salt;
    ASSERT_EQ(0, host_identity::BuildDerivationInput(host, 2, password, salt, "/nonexistent-marker"));

    Bytes expectedPassword = host.cpu;
    for (auto piece : {B("10.0.0.10"), Bytes{0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0x01}, B("10.0.0.9"),
                       Bytes{0x02, 0x03, 0x04, 0x05, 0x06, 0x07}})
        expectedPassword.insert(expectedPassword.end(), piece.begin(), piece.end());
    EXPECT_EQ(expectedPassword, password);

    Bytes expectedSalt{2, 0, 0, 0};
    for (auto piece : {B("machine-0001"), B("root-uuid-0001")})
        expectedSalt.insert(expectedSalt.end(), piece.begin(), piece.end());
    EXPECT_EQ(expectedSalt, salt);

    ASSERT_EQ(0, host_identity::BuildDerivationInput(host, -1, password, salt, "/nonexistent-marker"));
    EXPECT_EQ((Bytes{0xFF, 0xFF, 0xFF, 0xFF}), Bytes(salt.begin(), salt.begin() + 4));
}

TEST(HostIdentityDerivation, ContainerForgivesMissingMachineIdAndUuidOnly) {
    testsupport::ScratchDir dir;
    std::string marker = dir / ".dockerenv";
    testsupport::WriteFileOrDie(marker, "");
    std::string noMarker = dir / "absent";
    Bytes password, salt;

    identity_fixtures::FixedIdentity noMachineId;
    noMachineId.machine_id_rc = ERR_OPEN_FILE;
    EXPECT_EQ(ERR_OPEN_FILE, host_identity::BuildDerivationInput(noMachineId, 1, password, salt, noMarker));
    ASSERT_EQ(0, host_identity::BuildDerivationInput(noMachineId, 1, password, salt, marker));
    // The failed piece and the one after it are empty.
    EXPECT_EQ((Bytes{1, 0, 0, 0}), salt);

    identity_fixtures::FixedIdentity noUuid;
    noUuid.root_uuid_rc = ERR_ROOT_FS_UUID;
    EXPECT_EQ(ERR_ROOT_FS_UUID, host_identity::BuildDerivationInput(noUuid, 1, password, salt, noMarker));
    ASSERT_EQ(0, host_identity::BuildDerivationInput(noUuid, 1, password, salt, marker));
    Bytes expected{1, 0, 0, 0};
    Bytes id = B("machine-0001");
    expected.insert(expected.end(), id.begin(), id.end());
    EXPECT_EQ(expected, salt);

    identity_fixtures::FixedIdentity noCpu;
    noCpu.cpu_rc = ERR_DEVICE_CALL;
    EXPECT_EQ(ERR_DEVICE_CALL, host_identity::BuildDerivationInput(noCpu, 1, password, salt, marker));
    identity_fixtures::FixedIdentity noNetwork;
    noNetwork.network_rc = ERR_INVALID_FD;
    EXPECT_EQ(ERR_INVALID_FD, host_identity::BuildDerivationInput(noNetwork, 1, password, salt, marker));
}

}  // namespace
