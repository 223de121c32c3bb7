#pragma once

// Fixed host identities for the credential store tests.

#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "credentials/credential_store.h"
#include "credentials/host_identity.h"
#include "fake_wrapper.h"
#include "test_support.h"

namespace identity_fixtures {

// A host with a fixed CPU signature, two network addresses, a machine ID and a
// root FS UUID; each piece can be made to fail.
class FixedIdentity : public host_identity::IdentitySource {
public:
    host_identity::Bytes cpu{'G', 'e', 'n', 'u', 'i', 'n', 'e', 'I', 'n', 't', 'e', 'l',
                             1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    host_identity::NetworkAddressMap addresses{{"10.0.0.9", {0x02, 0x03, 0x04, 0x05, 0x06, 0x07}},
                                               {"10.0.0.10", {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0x01}}};
    std::string machine_id = "machine-0001";
    std::string root_uuid = "root-uuid-0001";
    int cpu_rc = 0, network_rc = 0, machine_id_rc = 0, root_uuid_rc = 0;

    int GetNetworkAddresses(host_identity::NetworkAddressMap& out) const override {
        out = addresses;
        return network_rc;
    }
    int GetCpuSignature(host_identity::Bytes& out) const override {
        out = cpu;
        return cpu_rc;
    }
    int GetRootFsUuid(host_identity::Bytes& out) const override {
        out.assign(root_uuid.begin(), root_uuid.end());
        return root_uuid_rc;
    }
    int GetMachineId(host_identity::Bytes& out) const override {
        out.assign(machine_id.begin(), machine_id.end());
        return machine_id_rc;
    }
};

// Base of the store's fixtures: the stand-in wrapper starts afresh and the
// store derives its keys from `host_` (a test may change it before deriving).
class FixedHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake_wrapper::Reset();
        credential_store::SetIdentitySourceFactory([this] { return std::make_unique<FixedIdentity>(host_); });
    }
    void TearDown() override { credential_store::SetIdentitySourceFactory(nullptr); }

    FixedIdentity host_;
    testsupport::ScratchDir dir_;
};

// Lays out etc/machine-id, etc/mtab, dev/sda1 and dev/disk/by-uuid/<uuid> ->
// ../../sda1 under `root`.
inline void MakeRoot(const std::string& root, const std::string& machineId, const std::string& mtab,
                     const std::string& uuid) {
    namespace fs = std::filesystem;
    fs::create_directories(root + "/etc");
    fs::create_directories(root + "/dev/disk/by-uuid");
    testsupport::WriteFileOrDie(root + "/etc/machine-id", machineId);
    testsupport::WriteFileOrDie(root + "/etc/mtab", mtab);
    testsupport::WriteFileOrDie(root + "/dev/sda1", "");
    fs::create_symlink("../../sda1", root + "/dev/disk/by-uuid/" + uuid);
}

}  // namespace identity_fixtures
