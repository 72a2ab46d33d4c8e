// What differs between operating systems: paths that are not ASCII, for the
// module file, its resource folder, the host folder and the command line.
// On Windows these cross from UTF-8 to UTF-16 and back.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "standin/utf8.h"
#include "support/harness.h"

#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace {

// Folder names in three scripts and with a space: Latin-1, beyond
// Latin-1, and beyond the Basic Multilingual Plane.
const char* const PLUGINS =
    "plug-ins Stra\xC3\x9F"
    "e \xE2\x82\xAC";
const char* const HOST_FOLDER = "host \xE6\xA8\xA1\xE5\x9D\x97 \xF0\x9F\x93\x9C";

std::string ReadBytes(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

// A fresh folder under the temporary folder, removed at the end.
class TempFolder {
 public:
  TempFolder() {
    std::random_device random;
    path_ = std::filesystem::temp_directory_path() /
            ("harlwick-platform-" + std::to_string(random()) + "-" + std::to_string(random()));
    std::filesystem::create_directories(path_);
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// The module folder of one generation (the file and res/) copied below `folder`.
std::filesystem::path CopyModule(uint32_t floor, const std::filesystem::path& folder) {
  const std::filesystem::path source = harness::ModulePath(floor).parent_path();
  const std::filesystem::path target = folder / source.filename();
  std::filesystem::create_directories(target);
  std::filesystem::copy(source, target, std::filesystem::copy_options::recursive);
  return target / harness::ModulePath(floor).filename();
}

// Runs `command` through the system's shell; its exit code, or -1.
int RunShell(const std::string& utf8Command) {
#ifdef _WIN32
  // std::system would pass the text in the ANSI code page.
  const std::wstring wide = standin::PathFromUtf8(utf8Command).native();
  return _wsystem(wide.c_str());
#else
  const int status = std::system(utf8Command.c_str());
  return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}

std::string Quoted(const std::filesystem::path& path) {
  // The tests' paths hold no quotes.
  return "\"" + standin::Utf8FromPath(path) + "\"";
}

TEST(Paths, Utf8RoundTripsAndIllFormedTextDoesNotThrow) {
  const std::string utf8 = std::string(PLUGINS) + "/" + HOST_FOLDER + "/consolelog.txt";
  EXPECT_EQ(standin::Utf8FromPath(standin::PathFromUtf8(utf8)), utf8);

  // A module may hand the host any bytes as a file name.
  for (const char* illFormed : {"\xFF", "a\xC3", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xC0\xAF"}) {
    std::filesystem::path path;
    EXPECT_NO_THROW(path = standin::PathFromUtf8(illFormed)) << illFormed;
    EXPECT_FALSE(path.empty()) << illFormed;
  }
}

class UnicodePaths : public ::testing::TestWithParam<uint32_t> {};

// The module file, its resource folder and the host folder all have names
// beyond ASCII: the module loads, finds res/ and writes the file there,
// with its lines ending in a single line feed.
TEST_P(UnicodePaths, ModuleLoadsFindsItsResourcesAndWritesTheLog) {
  TempFolder temp;
  const std::filesystem::path module = CopyModule(GetParam(), temp.Path() / standin::PathFromUtf8(PLUGINS));
  const std::filesystem::path hostFolder = temp.Path() / standin::PathFromUtf8(HOST_FOLDER);
  std::filesystem::create_directories(hostFolder);

  standin::HostOptions options;
  options.hostFolder = hostFolder;
  options.abortOnLeak = false;
  {
    standin::Host host(options);
    host.SetDefaultLogger(std::vector{harness::NotStoring(), harness::Storing({"eins", "zw\xC3\xB6lf"})});
    std::string error;
    const std::unique_ptr<standin::ModuleFile> file = standin::ModuleFile::Open(module, options.frameworks, error);
    ASSERT_TRUE(file) << error;
    standin::ModuleLife life(host, *file);
    ASSERT_EQ(life.Init(), 1);
    EXPECT_EQ(life.Start(), 1);
    EXPECT_EQ(life.Message(BRN_MESSAGE_INIT_RESOURCE), 1) << "no resource folder beside " << Quoted(module);
    EXPECT_EQ(host.RunCommand(harness::QUISTMOOR_ID), std::optional<bool>(true));
    EXPECT_EQ(life.End(), 1);
    EXPECT_TRUE(host.GetLedger().ModuleHeldReport().empty());
  }
  EXPECT_EQ(ReadBytes(hostFolder / "consolelog.txt"), harness::ExpectedLog({"eins", "zw\xC3\xB6lf"}));
}

// The command-line host takes such paths as arguments.
TEST_P(UnicodePaths, CommandLineHostTakesThemAsArguments) {
  TempFolder temp;
  const std::filesystem::path module = CopyModule(GetParam(), temp.Path() / standin::PathFromUtf8(PLUGINS));
  const std::filesystem::path hostFolder = temp.Path() / standin::PathFromUtf8(HOST_FOLDER);
  std::filesystem::create_directories(hostFolder);
  const std::filesystem::path out = temp.Path() / "out.txt";

  const std::string command = Quoted(std::filesystem::absolute(HARLWICK_HOST_EXE)) + " --host-folder " +
                              Quoted(hostFolder) + " " + Quoted(module) + " >" + Quoted(out) + " 2>&1";
#ifdef _WIN32
  // cmd.exe drops the outer quotes of a line that starts with one.
  const int exit = RunShell("\"" + command + "\"");
#else
  const int exit = RunShell(command);
#endif
  const std::string output = ReadBytes(out);
  EXPECT_EQ(exit, 0) << output;
  EXPECT_NE(output.find("Quistmoor answered true"), std::string::npos) << output;
  EXPECT_EQ(output.find("resource folder is not available"), std::string::npos) << output;
  const std::string log = ReadBytes(hostFolder / "consolelog.txt");
  EXPECT_EQ(log.rfind("Start log regels.\n", 0), 0u) << log;
  EXPECT_EQ(log.find('\r'), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(AllGenerations, UnicodePaths, ::testing::ValuesIn(harness::FLOORS), harness::FloorName);

}  // namespace
