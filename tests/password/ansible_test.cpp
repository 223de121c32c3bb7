// Runs the installed module through the real Ansible command-line tools, as an
// operator would: ad-hoc tasks on localhost and ansible-doc.

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <dirent.h>
#include <gtest/gtest.h>
#include <json/reader.h>

#include "test_support.h"

namespace {

using testsupport::RunOptions;
using testsupport::RunResult;
using testsupport::ScratchDir;

std::string ModuleDir() { return testsupport::StagePrefix() + "/share/ansible/plugins/modules"; }

struct TaskResult {
    RunResult run;
    std::string status;  // "SUCCESS" or "FAILED!" as the task line shows it
    Json::Value host;    // localhost's result of the task (without Ansible's own keys)
};

class PwforgeThroughAnsible : public ::testing::Test {
protected:
    void SetUp() override {
        // Ansible writes to HOME and its temp dirs and reads ansible.cfg from the
        // working directory; all of them are kept in the scratch dir.
        home_ = scratch_.MakeDir("home", 0700);
        testsupport::WriteFileOrDie(scratch_ / "ansible.cfg", "[defaults]\n");
    }

    RunOptions Options(std::vector<std::string> argv) {
        RunOptions o;
        o.argv = std::move(argv);
        o.cwd = scratch_.path();
        o.env = {
            {"HOME", home_},
            {"ANSIBLE_CONFIG", scratch_ / "ansible.cfg"},
            {"ANSIBLE_LOCAL_TEMP", home_ + "/local_tmp"},
            {"ANSIBLE_REMOTE_TEMP", home_ + "/remote_tmp"},
            {"ANSIBLE_LOAD_CALLBACK_PLUGINS", "1"},
            {"ANSIBLE_STDOUT_CALLBACK", "minimal"},
            {"ANSIBLE_NOCOLOR", "1"},
            {"ANSIBLE_LOCALHOST_WARNING", "0"},
            {"ANSIBLE_INVENTORY_UNPARSED_WARNING", "0"},
            {"ANSIBLE_RETRY_FILES_ENABLED", "0"},
            {"LC_ALL", "C.UTF-8"},
        };
        o.unset_env = {"ANSIBLE_LIBRARY", "ANSIBLE_INVENTORY", "DISPLAY"};
        o.timeout = std::chrono::seconds(120);
        return o;
    }

    // `ansible localhost -m pwforge` with the given extra arguments.
    TaskResult RunTask(std::vector<std::string> extra) {
        std::vector<std::string> argv = {"/usr/bin/ansible", "localhost", "-m", "pwforge",
                                         "-M",               ModuleDir()};
        argv.insert(argv.end(), extra.begin(), extra.end());
        TaskResult t;
        t.run = testsupport::Run(Options(argv));
        // The minimal callback prints "localhost | STATUS => {result as JSON}".
        const std::string& out = t.run.out;
        const std::size_t arrow = out.find("localhost | ");
        const std::size_t start = arrow == std::string::npos ? arrow : out.find(" => {", arrow);
        std::string errs;
        Json::CharReaderBuilder b;
        std::unique_ptr<Json::CharReader> reader(b.newCharReader());
        if (start == std::string::npos ||
            !reader->parse(out.data() + start + 4, out.data() + out.size(), &t.host, &errs)) {
            ADD_FAILURE() << "no task result in ansible output: " << out << "\nstderr: " << t.run.err;
            return t;
        }
        t.status = out.substr(arrow + 12, start - arrow - 12);
        return t;
    }

    ScratchDir scratch_;
    std::string home_;
};

int CountDigits(const std::string& s) {
    int n = 0;
    for (char c : s) n += c >= '0' && c <= '9';
    return n;
}

TEST_F(PwforgeThroughAnsible, GeneratesWithDefaultsAndWithOptions) {
    TaskResult defaults = RunTask({});
    ASSERT_EQ(defaults.run.exit_code, 0) << defaults.run.out << defaults.run.err;
    EXPECT_EQ(defaults.status, "SUCCESS");
    EXPECT_FALSE(defaults.host["changed"].asBool());
    EXPECT_EQ(defaults.host["original_message"].asString(), "SUCCESS: password was generated");
    const std::string pw = defaults.host["message"].asString();
    EXPECT_GE(pw.size(), 18u);
    EXPECT_LE(pw.size(), 28u);

    // key=value options arrive as strings.
    TaskResult strings = RunTask({"-a", "min_length=40 alpha_numeric=12 max_rpt_chars=0"});
    ASSERT_EQ(strings.run.exit_code, 0) << strings.run.out << strings.run.err;
    const std::string longer = strings.host["message"].asString();
    EXPECT_GE(longer.size(), 42u);
    EXPECT_LE(longer.size(), 52u);
    EXPECT_GE(CountDigits(longer), 12);

    // JSON options arrive as integers.
    TaskResult ints = RunTask({"-a", R"({"min_length": 60, "min_uppercase": 30})"});
    ASSERT_EQ(ints.run.exit_code, 0) << ints.run.out << ints.run.err;
    EXPECT_GE(ints.host["message"].asString().size(), 62u);
}

TEST_F(PwforgeThroughAnsible, CheckModeStillReportsAPassword) {
    TaskResult checked = RunTask({"--check", "-a", "min_length=20"});
    ASSERT_EQ(checked.run.exit_code, 0) << checked.run.out << checked.run.err;
    EXPECT_EQ(checked.status, "SUCCESS") << checked.run.out;
    EXPECT_FALSE(checked.host["changed"].asBool());
    EXPECT_EQ(checked.host["original_message"].asString(), "SUCCESS: password was generated");
    EXPECT_GE(checked.host["message"].asString().size(), 22u);
}

TEST_F(PwforgeThroughAnsible, RefusedPolicyIsNotATaskFailure) {
    TaskResult refused = RunTask({"-a", "min_length=1001"});
    EXPECT_EQ(refused.run.exit_code, 0) << refused.run.out << refused.run.err;
    EXPECT_EQ(refused.status, "SUCCESS");
    EXPECT_TRUE(refused.host["message"].isNull()) << refused.run.out;
    EXPECT_EQ(refused.host["original_message"].asString(),
              "ERROR: check intput min_length: min = 0, max = 1000");
}

TEST_F(PwforgeThroughAnsible, BadOptionsFailTheTaskWithAnsiblesMessages) {
    TaskResult not_int = RunTask({"-a", "min_length=abc"});
    EXPECT_EQ(not_int.run.exit_code, 2) << not_int.run.out << not_int.run.err;
    EXPECT_EQ(not_int.status, "FAILED!");
    EXPECT_EQ(not_int.host["msg"].asString(),
              "argument 'min_length' is of type <class 'str'> and we were unable to convert to "
              "int: <class 'str'> cannot be converted to an int");

    TaskResult fraction = RunTask({"-a", R"({"max_rpt_chars": 2.5})"});
    EXPECT_EQ(fraction.run.exit_code, 2);
    EXPECT_EQ(fraction.status, "FAILED!");
    EXPECT_EQ(fraction.host["msg"].asString(),
              "argument 'max_rpt_chars' is of type <class 'float'> and we were unable to convert "
              "to int: <class 'float'> cannot be converted to an int");

    TaskResult unknown = RunTask({"-a", "length=20"});
    EXPECT_EQ(unknown.run.exit_code, 2) << unknown.run.out << unknown.run.err;
    EXPECT_EQ(unknown.status, "FAILED!");
    EXPECT_EQ(unknown.host["msg"].asString(),
              "Unsupported parameters for (pwforge) module: length. Supported parameters include: "
              "alpha_numeric, max_rpt_chars, min_alpha_chars, min_length, min_lowercase, "
              "min_special_chars, min_uppercase.");
}

TEST_F(PwforgeThroughAnsible, DocumentationIsShownAndNoScriptShadowsTheModule) {
    RunResult doc = testsupport::Run(Options({"/usr/bin/ansible-doc", "-M", ModuleDir(), "pwforge"}));
    ASSERT_EQ(doc.exit_code, 0) << doc.out << doc.err;
    for (const char* text : {
             "This is module generate random password with special password",
             "ADDED IN: version 1.0.0",
             "- min_length",
             "- alpha_numeric",
             "- min_alpha_chars",
             "- min_special_chars",
             "- min_uppercase",
             "- min_lowercase",
             "- max_rpt_chars",
             "default: 16",
             "type: int",
             "AUTHOR:",
         }) {
        EXPECT_NE(doc.out.find(text), std::string::npos) << text << "\n" << doc.out;
    }

    // The documentation as Ansible reads it, text for text.
    RunResult as_json =
        testsupport::Run(Options({"/usr/bin/ansible-doc", "-j", "-M", ModuleDir(), "pwforge"}));
    ASSERT_EQ(as_json.exit_code, 0) << as_json.err;
    Json::Value parsed;
    std::string errs;
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    ASSERT_TRUE(reader->parse(as_json.out.data(), as_json.out.data() + as_json.out.size(), &parsed,
                              &errs))
        << as_json.out;
    const Json::Value& entry = parsed["pwforge"];
    const Json::Value& module_doc = entry["doc"];
    EXPECT_EQ(module_doc["module"].asString(), "pwforge");
    EXPECT_EQ(module_doc["short_description"].asString(),
              "Module generate random password with special password policy");
    EXPECT_EQ(module_doc["version_added"].asString(), "1.0.0");
    EXPECT_EQ(module_doc["description"].asString(),
              "This is module generate random password with special password policy.");
    EXPECT_TRUE(module_doc["author"].isArray() && module_doc["author"].size() > 0);
    EXPECT_EQ(entry["examples"].asString(), "");
    EXPECT_TRUE(entry["return"].empty()) << entry["return"].toStyledString();
    struct OptionDoc {
        const char* name;
        int default_value;
        const char* description;
    } options[] = {
        {"min_length", 16, "minimum password length (from 0 to 1000; if 0, then do not control)"},
        {"alpha_numeric", 3,
         "minimum number of digits in the password (from 0 to 1000; if 0, then do not control)"},
        {"min_alpha_chars", 7,
         "minimum number of letters in the password (from 0 to 1000; if 0, then do not control)"},
        {"min_special_chars", 3,
         "the minimum number of characters that are not a letter or a number in the password "
         "(from 0 to 1000; if 0, then do not control)"},
        {"min_uppercase", 3,
         "minimum number of uppercase letters (from 0 to 1000; if 0, then do not control)"},
        {"min_lowercase", 3,
         "minimum number of lowercase letters (from 0 to 1000; if 0, then do not control)"},
        {"max_rpt_chars", 2,
         "maximum number of consecutive repeated characters (from 0 to 1000; if 0, then do not "
         "control)"},
    };
    EXPECT_EQ(module_doc["options"].size(), 7u);
    for (const auto& option : options) {
        const Json::Value& o = module_doc["options"][option.name];
        EXPECT_EQ(o["description"].asString(), option.description) << option.name;
        EXPECT_TRUE(o["default"].isInt() && o["default"].asInt() == option.default_value)
            << option.name << ": " << o["default"].toStyledString();
        EXPECT_TRUE(o["required"].isBool() && !o["required"].asBool()) << option.name;
        EXPECT_EQ(o["type"].asString(), "int") << option.name;
    }

    RunResult snippet =
        testsupport::Run(Options({"/usr/bin/ansible-doc", "-M", ModuleDir(), "-s", "pwforge"}));
    ASSERT_EQ(snippet.exit_code, 0) << snippet.err;
    EXPECT_NE(snippet.out.find("Module generate random password with special password policy"),
              std::string::npos)
        << snippet.out;

    // Only the program and its documentation: a script of the same name would be
    // run in place of the program.
    std::vector<std::string> names;
    if (DIR* d = opendir(ModuleDir().c_str())) {
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..") names.push_back(n);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"pwforge", "pwforge.yml"}));
}

}  // namespace
