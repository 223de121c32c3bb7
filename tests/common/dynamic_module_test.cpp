// Candidate order and acceptance rules of the dynamic module loader.

#include "common/dynamic_module.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "common/error_code.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using dynamic_module::DynamicModule;

const std::vector<std::string> kRequired = {"probe_alpha", "probe_beta"};

// Probe builds: PROBE_FIRST and PROBE_SECOND export every required symbol,
// PROBE_PARTIAL lacks probe_alpha.
void Place(const char* probe, const std::string& path) {
    fs::copy_file(probe, path, fs::copy_options::overwrite_existing);
}

std::string NameOf(const DynamicModule& module) {
    auto name = module.GetSymbol<const char* (*)()>("probe_name");
    return name != nullptr ? name() : "";
}

// Runs construction and returns the thrown code, or 0 with the probe's name.
struct Outcome {
    int code = 0;
    std::string name;
};
Outcome Load(const char* directory, const char* libraryName, const char* marker, const char* replacement,
             const char* libraryPath, const std::vector<std::string>& required = kRequired) {
    try {
        DynamicModule module(directory, libraryName, marker, replacement, libraryPath, required);
        return {0, NameOf(module)};
    } catch (int code) {
        return {code, ""};
    }
}

class DynamicModuleTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* v = std::getenv("PG_PLUGINS_PATH")) {
            saved_ = v;
        }
        unsetenv("PG_PLUGINS_PATH");
    }
    void TearDown() override {
        if (saved_) {
            setenv("PG_PLUGINS_PATH", saved_->c_str(), 1);
        } else {
            unsetenv("PG_PLUGINS_PATH");
        }
        if (!derivedDir_.empty()) {
            fs::remove_all(derivedDir_);
        }
    }

    // Directory that the marker rule derives for this test program, with the
    // marker set to the program's own file name: everything in front of it is
    // kept, the name is replaced by "/probe-lib-<pid>".
    std::string MarkerDir(std::string& marker, std::string& replacement) {
        const std::string exe = fs::read_symlink("/proc/self/exe").string();
        const size_t slash = exe.rfind('/');
        marker = exe.substr(slash);
        replacement = "/probe-lib-" + std::to_string(getpid());
        derivedDir_ = exe.substr(0, slash) + replacement;
        fs::create_directories(derivedDir_);
        return derivedDir_;
    }

    testsupport::ScratchDir scratch_;
    std::optional<std::string> saved_;
    std::string derivedDir_;
};

TEST_F(DynamicModuleTest, DirectoryCandidatesAreTriedInByteOrder) {
    const std::string dir = scratch_.MakeDir("plugins");
    // Created in an order different from the sorted one.
    Place(PROBE_FIRST, dir + "/c.so");
    Place(PROBE_PARTIAL, dir + "/a.so");
    Place(PROBE_SECOND, dir + "/b.so");
    Place(PROBE_FIRST, dir + "/B.so");  // 'B' sorts before 'a'
    Outcome o = Load(dir.c_str(), nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(o.code, 0);
    EXPECT_EQ(o.name, "first") << "B.so sorts first byte-wise";

    fs::remove(dir + "/B.so");
    o = Load(dir.c_str(), nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(o.code, 0);
    EXPECT_EQ(o.name, "second") << "a.so lacks a symbol, b.so is complete";
}

TEST_F(DynamicModuleTest, OnlyPathsContainingDotSoQualify) {
    const std::string dir = scratch_.MakeDir("plugins");
    Place(PROBE_FIRST, dir + "/complete.dylib");
    Place(PROBE_PARTIAL, dir + "/partial.so");
    EXPECT_EQ(Load(dir.c_str(), nullptr, nullptr, nullptr, nullptr).code, ERR_LIBRARY_NOT_LOADED);

    // ".so" anywhere in the path counts, the directory part included.
    const std::string soDir = scratch_.MakeDir("modules.so.d");
    Place(PROBE_SECOND, soDir + "/module");
    Outcome o = Load(soDir.c_str(), nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(o.code, 0);
    EXPECT_EQ(o.name, "second");

    // Something that is not a library at all is skipped.
    const std::string junkDir = scratch_.MakeDir("junk");
    testsupport::WriteFileOrDie(junkDir + "/a.so", "not an ELF file");
    Place(PROBE_FIRST, junkDir + "/b.so");
    EXPECT_EQ(Load(junkDir.c_str(), nullptr, nullptr, nullptr, nullptr).name, "first");

    // Nor is a FIFO, whose open would block for ever (in a child, so that a
    // hang ends there), or a directory.
    ASSERT_EQ(0, mkfifo((junkDir + "/a0.so").c_str(), 0600));
    fs::create_directory(junkDir + "/a1.so");
    EXPECT_EQ(0, testsupport::RunInChild([&] {
        alarm(120);
        return Load(junkDir.c_str(), nullptr, nullptr, nullptr, nullptr).name == "first" ? 0 : 1;
    }));
}

TEST_F(DynamicModuleTest, EmptyOrMissingDirectoryLoadsNothing) {
    const std::string empty = scratch_.MakeDir("empty");
    EXPECT_EQ(Load(empty.c_str(), nullptr, nullptr, nullptr, nullptr).code, ERR_LIBRARY_NOT_LOADED);
    const std::string missing = scratch_ / "missing";
    EXPECT_EQ(Load(missing.c_str(), nullptr, nullptr, nullptr, nullptr).code, ERR_LIBRARY_NOT_LOADED);
}

TEST_F(DynamicModuleTest, SymbolListRules) {
    const std::string dir = scratch_.MakeDir("plugins");
    Place(PROBE_FIRST, dir + "/a.so");
    EXPECT_EQ(Load(dir.c_str(), nullptr, nullptr, nullptr, nullptr, {}).code, ERR_INPUT_DATA);

    // An explicit file needs no symbols and is the only candidate.
    const std::string partial = dir + "/partial.so";
    Place(PROBE_PARTIAL, partial);
    Outcome o = Load(dir.c_str(), nullptr, nullptr, nullptr, partial.c_str(), {});
    EXPECT_EQ(o.code, 0);
    EXPECT_EQ(o.name, "partial");
    EXPECT_EQ(Load(dir.c_str(), nullptr, nullptr, nullptr, partial.c_str()).code, ERR_LIBRARY_NOT_LOADED);
}

TEST_F(DynamicModuleTest, GetSymbolImpl) {
    const std::string path = scratch_ / "probe.so";
    Place(PROBE_FIRST, path);
    DynamicModule module(nullptr, nullptr, nullptr, nullptr, path.c_str(), kRequired);
    EXPECT_NE(module.GetSymbolImpl("probe_alpha"), nullptr);
    EXPECT_EQ(module.GetSymbolImpl("no_such_symbol"), nullptr);
    try {
        module.GetSymbolImpl(nullptr);
        ADD_FAILURE() << "a null name must throw";
    } catch (int code) {
        EXPECT_EQ(code, ERR_NULL_POINTER);
    }
}

TEST_F(DynamicModuleTest, EnvironmentDirectoryComesAfterExplicitDirectory) {
    const std::string envDir = scratch_.MakeDir("env");
    const std::string argDir = scratch_.MakeDir("arg");
    Place(PROBE_FIRST, envDir + "/lib.so");
    Place(PROBE_SECOND, argDir + "/lib.so");
    setenv("PG_PLUGINS_PATH", envDir.c_str(), 1);
    EXPECT_EQ(Load(argDir.c_str(), nullptr, nullptr, nullptr, nullptr).name, "second");
    EXPECT_EQ(Load(nullptr, nullptr, nullptr, nullptr, nullptr).name, "first");
    setenv("PG_PLUGINS_PATH", (scratch_ / "nowhere").c_str(), 1);
    EXPECT_EQ(Load(nullptr, nullptr, nullptr, nullptr, nullptr).code, ERR_LIBRARY_NOT_LOADED);
}

TEST_F(DynamicModuleTest, MarkerRuleTakesTheLinkNextToTheProgram) {
    std::string marker, replacement;
    const std::string libDir = MarkerDir(marker, replacement);
    const std::string target = scratch_ / "real-build.so";
    Place(PROBE_SECOND, target);
    fs::create_symlink(target, libDir + "/libprobe.so");

    Outcome o = Load(nullptr, "libprobe.so", marker.c_str(), replacement.c_str(), nullptr);
    EXPECT_EQ(o.code, 0);
    EXPECT_EQ(o.name, "second");

    // PG_PLUGINS_PATH wins over the marker rule, even naming an empty directory.
    const std::string empty = scratch_.MakeDir("empty");
    setenv("PG_PLUGINS_PATH", empty.c_str(), 1);
    EXPECT_EQ(Load(nullptr, "libprobe.so", marker.c_str(), replacement.c_str(), nullptr).code,
              ERR_LIBRARY_NOT_LOADED);
    unsetenv("PG_PLUGINS_PATH");

    // Any of the three names missing: no rule applies.
    EXPECT_EQ(Load(nullptr, nullptr, marker.c_str(), replacement.c_str(), nullptr).code, ERR_PLUGIN_PATH_NOT_FOUND);
    EXPECT_EQ(Load(nullptr, "libprobe.so", nullptr, replacement.c_str(), nullptr).code, ERR_PLUGIN_PATH_NOT_FOUND);
    EXPECT_EQ(Load(nullptr, "libprobe.so", marker.c_str(), nullptr, nullptr).code, ERR_PLUGIN_PATH_NOT_FOUND);
}

TEST_F(DynamicModuleTest, MarkerRuleRefusesAnythingButAnExistingLink) {
    std::string marker, replacement;
    const std::string libDir = MarkerDir(marker, replacement);

    // A regular file at the derived path.
    Place(PROBE_FIRST, libDir + "/libprobe.so");
    EXPECT_EQ(Load(nullptr, "libprobe.so", marker.c_str(), replacement.c_str(), nullptr).code,
              ERR_PLUGIN_PATH_NOT_FOUND);
    // Nothing at the derived path.
    EXPECT_EQ(Load(nullptr, "libmissing.so", marker.c_str(), replacement.c_str(), nullptr).code,
              ERR_PLUGIN_PATH_NOT_FOUND);
    // A dangling link.
    fs::create_symlink(scratch_ / "gone.so", libDir + "/libdangling.so");
    EXPECT_EQ(Load(nullptr, "libdangling.so", marker.c_str(), replacement.c_str(), nullptr).code,
              ERR_PLUGIN_PATH_NOT_FOUND);
    // The marker does not occur in the program's path.
    EXPECT_EQ(Load(nullptr, "libprobe.so", "/no/such/marker/", replacement.c_str(), nullptr).code,
              ERR_PLUGIN_PATH_NOT_FOUND);
    // A link to a library without the required symbols.
    const std::string partial = scratch_ / "partial.so";
    Place(PROBE_PARTIAL, partial);
    fs::create_symlink(partial, libDir + "/libpartial.so");
    EXPECT_EQ(Load(nullptr, "libpartial.so", marker.c_str(), replacement.c_str(), nullptr).code,
              ERR_LIBRARY_NOT_LOADED);
}

}  // namespace
