// The built server as users start it: the usage text, exit codes, the library probe.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/scoped_registry.h"
#include "support/server_process.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

const char* const USAGE =
    "Veltrabox 7.02\n\tusage: Veltrabox [-d<driver_name>] [-p<port>] [-m] [-n<neuron_id>] "
    "[-N<neuron_id_ofs>] [-i]\n";

struct Outcome {
    int exitCode;
    std::string out;
    std::string err;
};

std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs `program` with `args` and waits for it to end.
Outcome RunProgram(const fs::path& program, std::vector<std::string> args,
                   const fs::path& scratch) {
    fs::path out = scratch / "stdout";
    fs::path err = scratch / "stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> words = e2e::CommandWords(program);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(spawned, 0);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status)) << "status " << status;
    return {WEXITSTATUS(status), Slurp(out), Slurp(err)};
}

class Program : public testing::Test {
  protected:
    void SetUp() override {
        scratch_ = fs::temp_directory_path() /
                   ("veltrabox-" + std::to_string(getpid()) + "-" +
                    testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(scratch_);
        unsetenv("VELTRABOX_LIBRARY_PATH");
    }
    void TearDown() override { fs::remove_all(scratch_); }

    fs::path scratch_;
    ScopedRegistry registry_{""};
};

TEST_F(Program, BadOptionPrintsTheUsageText) {
    Outcome result = RunProgram(VELTRABOX_BINARY_DIR "/veltrabox", {"-p5000", "-x"}, scratch_);
    EXPECT_EQ(result.exitCode, 255);
    EXPECT_EQ(result.out, USAGE);
}

TEST_F(Program, MissingArgumentIsABadOption) {
    Outcome result = RunProgram(VELTRABOX_BINARY_DIR "/veltrabox", {"-d"}, scratch_);
    EXPECT_EQ(result.exitCode, 255);
    EXPECT_EQ(result.out, USAGE);
}

TEST_F(Program, OddWordsStillGiveTheUsageText) {
    Outcome result = RunProgram(VELTRABOX_BINARY_DIR "/veltrabox",
                                {"-d\xff\xfe", "-n", "", "-p", "-", "-:", "-i-i-i-x"}, scratch_);
    EXPECT_EQ(result.exitCode, 255);
    EXPECT_EQ(result.out, USAGE);
}

TEST_F(Program, LibraryProbeWithoutTheLibrary) {
    // A copy of the server in a folder of its own finds no LDV library beside it.
    fs::path lonely = scratch_ / "veltrabox";
    fs::copy_file(VELTRABOX_BINARY_DIR "/veltrabox", lonely);
    Outcome result = RunProgram(lonely, {"-m"}, scratch_);
    EXPECT_EQ(result.exitCode, 255);
    EXPECT_EQ(result.out, USAGE);
    EXPECT_NE(result.err.find("veltrabox: LoadLibrary(ldv_vni.dll) failed\n"), std::string::npos)
        << result.err;
}

TEST_F(Program, ZonesFromTheRegistryFile) {
    registry_.Write(
        "[HKEY_LOCAL_MACHINE\\DebugZones]\n\"Quorvel\"=dword:2\n"
        "[HKEY_LOCAL_MACHINE\\Quorvel]\n\"NID\"=hex:01,02,03,04,05,06\nbad line\n");
    Outcome result = RunProgram(VELTRABOX_BINARY_DIR "/veltrabox", {"-N", "10", "-x"}, scratch_);
    EXPECT_EQ(result.exitCode, 255);
    EXPECT_NE(result.err.find(registry_.Path() + ":5: "), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("veltrabox: RegOpenKeyEx()=0\n"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("veltrabox: HexStringToBytes()=10\n"), std::string::npos)
        << result.err;
}

}  // namespace
