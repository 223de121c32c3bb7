// The install tree and the Debian package: exactly the expected files, the
// plug-in link pointing at the chosen build, programs that find libclilog through
// their run path and the plug-in through the link, and a package that installs,
// switches builds and removes without leaving anything of its own behind.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using testsupport::RunOptions;
using testsupport::RunResult;

// The prefix as a path relative to a staging root ("usr/dover-or-04").
const std::string kPrefix = std::string(DOVER_INSTALL_PREFIX).substr(1);

// One line per installed entry: "x path" executable program, "f path" other file
// (shared libraries count as files whatever their mode), "l path" symbolic link.
std::string Kind(bool is_link, bool executable, const std::string& path) {
    if (is_link) return "l";
    const bool library = path.size() > 3 && path.compare(path.size() - 3, 3, ".so") == 0;
    return executable && !library ? "x" : "f";
}

std::set<std::string> ExpectedTree(bool with_link) {
    std::ifstream in(DOVER_EXPECTED_TREE);
    std::set<std::string> out;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || (!with_link && line[0] == 'l')) continue;
        out.insert(line.substr(0, 2) + kPrefix + "/" + line.substr(2));
    }
    return out;
}

// Every non-directory entry under root, relative to it.
std::set<std::string> ActualTree(const std::string& root) {
    std::set<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        if (e.is_directory() && !e.is_symlink()) continue;
        const std::string rel = e.path().lexically_relative(root).string();
        struct stat st {};
        lstat(e.path().c_str(), &st);
        out.insert(Kind(S_ISLNK(st.st_mode), (st.st_mode & S_IXUSR) != 0, rel) + " " + rel);
    }
    return out;
}

RunResult Must(RunOptions o) {
    RunResult r = testsupport::Run(o);
    EXPECT_EQ(r.exit_code, 0) << o.argv[0] << " " << (o.argv.size() > 1 ? o.argv[1] : "") << "\n"
                              << r.out << r.err;
    return r;
}

RunResult Must(std::vector<std::string> argv) {
    RunOptions o;
    o.argv = std::move(argv);
    return Must(o);
}

// Length of the key that keyforge printed: 24 Base64 characters for the AES
// build's 16-byte key, 44 for the GOST build's 32 bytes; 0 when it failed.
size_t KeyLength(const RunResult& r) {
    static const std::regex line("\33\\[32mKey was generated successfully\\. Key: ([A-Za-z0-9+/=]+)\33\\[0m\n");
    std::smatch m;
    return std::regex_match(r.out, m, line) ? m[1].length() : 0;
}

size_t KeyLengthOf(const std::string& build) { return build == "gost" ? 44 : 24; }

std::string Other(const std::string& build) { return build == "gost" ? "aes" : "gost"; }

// keyforge of an install tree, with nothing in the environment that could lead it
// to its libraries or the plug-in other than its run path and lib/libcipherbox.so.
RunResult Keyforge(const std::string& program, std::vector<testsupport::Bind> binds = {}) {
    RunOptions o;
    o.argv = {program};
    o.unset_env = {"LD_LIBRARY_PATH", "PG_PLUGINS_PATH"};
    o.binds = std::move(binds);
    return testsupport::Run(o);
}

TEST(InstallTree, StagedTreeHoldsExactlyTheDeliverables) {
    const std::string stage = testsupport::BuildDir() + "/stage";
    const std::set<std::string> tree = ActualTree(stage);
    EXPECT_EQ(tree, ExpectedTree(true));
    EXPECT_EQ(fs::read_symlink(testsupport::StagePrefix() + "/lib/libcipherbox.so").string(),
              std::string(DOVER_CIPHER_CHOICE) + "/libcipherbox.so");

    // Every program resolves its libraries, libclilog from the tree's own lib/,
    // without any help from the environment.
    int with_clilog = 0;
    for (const std::string& entry : tree) {
        if (entry.rfind("x ", 0) != 0) continue;
        RunOptions o;
        o.argv = {"/usr/bin/ldd", stage + "/" + entry.substr(2)};
        o.unset_env = {"LD_LIBRARY_PATH"};
        RunResult r = Must(o);
        EXPECT_EQ(r.out.find("not found"), std::string::npos) << entry << "\n" << r.out;
        std::smatch m;
        static const std::regex clilog("libclilog\\.so => (\\S+) ");
        if (std::regex_search(r.out, m, clilog)) {
            ++with_clilog;
            EXPECT_EQ(fs::canonical(m[1].str()), fs::canonical(testsupport::StagePrefix() + "/lib/libclilog.so"))
                << entry;
        }
    }
    EXPECT_GT(with_clilog, 0);
}

class InstallChoice : public ::testing::TestWithParam<std::string> {};

TEST_P(InstallChoice, LinkLeadsProgramsToTheChosenBuild) {
    const std::string build = GetParam();
    testsupport::ScratchDir scratch;
    RunOptions install;
    install.argv = {DOVER_CMAKE, "-DDOVER_CIPHER_DEFAULT=" + build, "-P",
                    testsupport::BuildDir() + "/cmake_install.cmake"};
    install.env = {{"DESTDIR", scratch.path()}};
    install.umask_value = 077;  // a hardened root umask must not close the tree to others
    Must(install);

    EXPECT_EQ(ActualTree(scratch.path()), ExpectedTree(true));
    for (const auto& e : fs::recursive_directory_iterator(scratch.path())) {
        if (e.is_directory() && !e.is_symlink()) {
            EXPECT_EQ(fs::status(e.path()).permissions(), fs::perms(0755)) << e.path();
        }
    }
    // An install over this one, without naming a build, keeps the choice.
    install.argv = {DOVER_CMAKE, "--install", testsupport::BuildDir()};
    Must(install);
    const std::string prefix = scratch / kPrefix;
    EXPECT_EQ(fs::read_symlink(prefix + "/lib/libcipherbox.so").string(), build + "/libcipherbox.so");
    RunResult r = Keyforge(prefix + "/bin/keyforge");
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(KeyLength(r), KeyLengthOf(build)) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Builds, InstallChoice, ::testing::Values("aes", "gost"));

// Splits a Depends field into package names.
std::set<std::string> DependencyNames(const std::string& field) {
    std::set<std::string> names;
    static const std::regex name("(^|,)\\s*([a-z0-9][a-z0-9+.-]+)");
    for (std::sregex_iterator it(field.begin(), field.end(), name), end; it != end; ++it) {
        names.insert((*it)[2].str());
    }
    return names;
}

TEST(DebianPackage, InstallsSwitchesBuildsAndRemovesCleanly) {
    testsupport::ScratchDir scratch;
    const std::string out_dir = scratch.MakeDir("out");
    RunOptions pack;
    pack.argv = {DOVER_CPACK, "-G", "DEB", "--config", testsupport::BuildDir() + "/CPackConfig.cmake", "-B", out_dir};
    pack.umask_value = 077;  // dpkg makes the prefix with the mode the package carries
    Must(pack);
    std::string deb;
    for (const auto& e : fs::directory_iterator(out_dir)) {
        if (e.path().extension() == ".deb") deb = e.path().string();
    }
    ASSERT_NE(deb, "") << "cpack made no .deb";
    std::string arch = Must({"/usr/bin/dpkg", "--print-architecture"}).out;
    arch.erase(arch.find_last_not_of('\n') + 1);
    EXPECT_EQ(fs::path(deb).filename().string(),
              "dover-security-tools_" + std::string(DOVER_PROJECT_VERSION) + "_" + arch + ".deb");

    // Control data: the project's version and the libraries the binaries link.
    EXPECT_EQ(Must({"/usr/bin/dpkg-deb", "-f", deb, "Version"}).out, std::string(DOVER_PROJECT_VERSION) + "\n");
    const std::set<std::string> depends = DependencyNames(Must({"/usr/bin/dpkg-deb", "-f", deb, "Depends"}).out);
    std::istringstream needed(DOVER_EXPECTED_DEPENDS);
    for (std::string name; std::getline(needed, name, ',');) {
        EXPECT_TRUE(depends.count(name)) << name;
    }
    const std::string info = Must({"/usr/bin/dpkg-deb", "-I", deb}).out;
    EXPECT_NE(info.find(" postinst "), std::string::npos) << info;
    EXPECT_NE(info.find(" prerm "), std::string::npos) << info;

    // Contents: the install tree without the plug-in link, which the
    // alternatives system owns; every entry owned by root.
    std::set<std::string> listed;
    std::istringstream contents(Must({"/usr/bin/dpkg-deb", "-c", deb}).out);
    for (std::string line; std::getline(contents, line);) {
        std::istringstream words(line);
        std::string mode, owner, size, date, time, path;
        words >> mode >> owner >> size >> date >> time >> path;
        EXPECT_EQ(owner, "root/root") << line;
        if (mode[0] == 'd') {
            EXPECT_EQ(mode, "drwxr-xr-x") << line;
            continue;
        }
        path = path.substr(2);  // "./"
        listed.insert(Kind(mode[0] == 'l', mode[3] == 'x', path) + " " + path);
    }
    EXPECT_EQ(listed, ExpectedTree(false));

    // A real dpkg run into a scratch root; maintainer scripts run outside it
    // with DPKG_ROOT set, as dpkg does for --root installs.
    const std::string root = scratch.MakeDir("root");
    for (const char* dir : {"var/lib/dpkg/info", "var/lib/dpkg/updates", "var/lib/dpkg/triggers",
                            "var/lib/dpkg/alternatives", "etc/alternatives", "var/log", "etc/postgres"}) {
        fs::create_directories(root + "/" + dir);
    }
    testsupport::WriteFileOrDie(root + "/var/lib/dpkg/status", "");
    testsupport::WriteFileOrDie(root + "/var/lib/dpkg/available", "");
    testsupport::WriteFileOrDie(root + "/etc/postgres/enc_utils_auth_settings.cfg", "kept", 0600);
    const std::vector<std::string> dpkg = {"/usr/bin/dpkg", "--root=" + root, "--force-script-chrootless",
                                           "--force-depends", "--log=/dev/null"};
    auto run_dpkg = [&](std::vector<std::string> args) {
        std::vector<std::string> argv = dpkg;
        argv.insert(argv.end(), args.begin(), args.end());
        return Must(argv);
    };
    run_dpkg({"-i", deb});

    // Programs unpacked from the package, seen at the fixed prefix, reach the
    // plug-in through lib/libcipherbox.so -> /etc/alternatives.
    const std::vector<testsupport::Bind> binds = {{root + "/" + kPrefix, DOVER_INSTALL_PREFIX},
                                                  {root + "/etc/alternatives", "/etc/alternatives"}};
    const std::string keyforge = std::string(DOVER_INSTALL_PREFIX) + "/bin/keyforge";
    const std::string chosen = DOVER_CIPHER_CHOICE;
    EXPECT_EQ(KeyLength(Keyforge(keyforge, binds)), KeyLengthOf(chosen));

    RunOptions set;
    set.argv = {"/usr/bin/update-alternatives", "--set", "dover-libcipherbox",
                std::string(DOVER_INSTALL_PREFIX) + "/lib/" + Other(chosen) + "/libcipherbox.so"};
    set.env = {{"DPKG_ROOT", root}};
    Must(set);
    EXPECT_EQ(KeyLength(Keyforge(keyforge, binds)), KeyLengthOf(Other(chosen)));
    // A failed upgrade or a deconfiguration keeps the link and the choice.
    for (const char* why : {"failed-upgrade", "deconfigure"}) {
        set.argv = {testsupport::BuildDir() + "/debian/prerm", why, DOVER_PROJECT_VERSION};
        Must(set);
        EXPECT_EQ(KeyLength(Keyforge(keyforge, binds)), KeyLengthOf(Other(chosen))) << why;
    }

    // Purging leaves dpkg's own records and the untouched /etc/postgres only.
    run_dpkg({"--purge", "dover-security-tools"});
    std::set<std::string> left;
    for (const std::string& entry : ActualTree(root)) {
        if (entry.find(" var/lib/dpkg/") == std::string::npos && entry.find(" var/log/") == std::string::npos) {
            left.insert(entry);
        }
    }
    EXPECT_EQ(left, std::set<std::string>{"f etc/postgres/enc_utils_auth_settings.cfg"});
    EXPECT_FALSE(fs::exists(root + "/usr"));
    EXPECT_TRUE(fs::is_empty(root + "/var/lib/dpkg/alternatives"));
    EXPECT_EQ(testsupport::ReadFileOrDie(root + "/etc/postgres/enc_utils_auth_settings.cfg"), "kept");

    // Installed over a tree from cmake --install that chose the other build:
    // the package keeps that choice.
    fs::create_directories(root + "/" + kPrefix + "/lib");
    fs::create_symlink(Other(chosen) + "/libcipherbox.so", root + "/" + kPrefix + "/lib/libcipherbox.so");
    run_dpkg({"-i", deb});
    EXPECT_EQ(KeyLength(Keyforge(keyforge, binds)), KeyLengthOf(Other(chosen)));
}

}  // namespace

namespace {

TEST(ManualPages, RenderWithoutWarnings) {
    const std::string man = testsupport::StagePrefix() + "/share/man";
    int pages = 0;
    for (const auto& e : fs::recursive_directory_iterator(man)) {
        if (!e.is_regular_file()) continue;
        ++pages;
        // -t: a page may hold a table; -ww: every warning; -z: no output.
        RunResult r = testsupport::Run({"/usr/bin/groff", "-t", "-ww", "-man", "-z", e.path().string()});
        EXPECT_EQ(r.exit_code, 0) << e.path();
        EXPECT_EQ(r.err, "") << e.path();
    }
    EXPECT_GT(pages, 0);
}

}  // namespace
