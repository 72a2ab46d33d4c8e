// The module entry: its answers to each action, the load count, the
// messages and the resource folder, and what the module file declares and
// exports.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "standin/utf8.h"
#include "support/harness.h"

namespace {

using harness::ModuleTest;
using standin::Kind;
using standin::Site;

// An address the module must never read: the message data is not looked at.
void* const UNREADABLE_DATA = reinterpret_cast<void*>(uintptr_t{0x10});

std::vector<std::string> FrameworksOf(uint32_t floor) {
  std::vector<std::string> frameworks = {"net.brannoc.core.framework", "net.brannoc.application.framework"};
  if (floor >= 2023000) frameworks.emplace_back("net.brannoc.misc.framework");
  return frameworks;
}

[[maybe_unused]] std::set<std::string> GlobalsOf(uint32_t floor) {
  switch (floor) {
    case 20017:
      return {"plugin_main", "g_CpuYieldDelegate", "g_privateBinary"};
    case 23000:
      return {"plugin_main", "g_brannoc"};
    default:
      return {"plugin_main", "g_brannoc", "g_CpuYieldDelegate"};
  }
}

class Entry : public ModuleTest {
 protected:
  int32_t Call(int32_t action, void* value = nullptr, void* data = nullptr, void* path = nullptr) {
    return Module().Entry(action, value, data, path);
  }
  void* Table() { return const_cast<brn_host_api*>(Host().Table()); }
  standin::LedgerCounts Counts() { return Host().GetLedger().Counts(); }
  int64_t Held(Kind kind) { return Counts().ModuleHeld(kind); }
  int64_t SiteCalls(Site site) { return Host().GetFaults().SiteCalls(site); }

  std::string path_ = standin::Utf8FromPath(std::filesystem::absolute(harness::ModulePath(Floor())));
};

TEST_P(Entry, OnlyTheFirstActionOneDoesWork) {
  ASSERT_EQ(Life().Init(), 1);
  const int64_t allocs = SiteCalls(Site::Alloc);
  EXPECT_EQ(Held(Kind::Allocation), 1) << "the copy of the module path";

  // A later action 1 answers at once: it neither checks nor keeps anything.
  EXPECT_EQ(Call(BRN_ACTION_INIT, nullptr, nullptr, nullptr), 1);
  EXPECT_EQ(Call(BRN_ACTION_INIT, Table(), nullptr, path_.data()), 1);
  EXPECT_EQ(SiteCalls(Site::Alloc), allocs);
  EXPECT_EQ(Held(Kind::Allocation), 1);

  // Three action 1s need three action 3s.
  EXPECT_EQ(Call(BRN_ACTION_END), 1);
  EXPECT_EQ(Call(BRN_ACTION_END), 1);
  EXPECT_EQ(Held(Kind::Allocation), 1);
  Unload();
  EXPECT_EQ(Held(Kind::Allocation), 0);
}

TEST_P(Entry, HostBelowTheFloorIsRefused) {
  Host().SetApiVersion(Floor() - 1);
  EXPECT_EQ(Life().Init(), BRN_ENTRY_TOO_OLD);
  EXPECT_EQ(Host().GetFaults().Calls(), 0) << "a refused load asks the host nothing";
  EXPECT_EQ(Counts().Made(Kind::Allocation), 0);
}

TEST_P(Entry, HostAtTheFloorLoadsAndRuns) {
  Host().SetApiVersion(Floor());
  Load();
  EXPECT_TRUE(Run());
  EXPECT_EQ(LogBytes(), harness::ExpectedLog({}));
}

TEST_P(Entry, NoPathIsRefused) {
  EXPECT_EQ(Call(BRN_ACTION_INIT, Table(), nullptr, nullptr), BRN_ENTRY_TOO_OLD);
  EXPECT_EQ(Counts().Made(Kind::Allocation), 0);
}

// A refused load leaves nothing loaded: the action 3 a host sends after it
// ends nothing (it would otherwise reach the host through a table it never
// kept), and a second action 1 with a fit host loads for real.
TEST_P(Entry, RefusedLoadCanBeEndedOrRetried) {
  Host().SetApiVersion(Floor() - 1);
  ASSERT_EQ(Life().Init(), BRN_ENTRY_TOO_OLD);
  EXPECT_EQ(Call(BRN_ACTION_END), 1);
  EXPECT_EQ(Call(BRN_ACTION_END), 1);
  EXPECT_EQ(Call(BRN_ACTION_INIT, Table(), nullptr, nullptr), BRN_ENTRY_TOO_OLD);

  Host().SetApiVersion(Floor());
  Load();
  EXPECT_TRUE(Run());
  EXPECT_EQ(LogBytes(), harness::ExpectedLog({}));
}

TEST_P(Entry, QueryAndUnknownActions) {
  // Neither needs the host: both answer before action 1 as after it.
  for (int loaded = 0; loaded < 2; ++loaded) {
    SCOPED_TRACE(loaded ? "loaded" : "before action 1");
    if (loaded) Load();
    const int64_t calls = Host().GetFaults().Calls();
    const int64_t made = Counts().Made(Kind::Allocation);
    EXPECT_EQ(Call(BRN_ACTION_QUERY), 5);
    for (int32_t action : {0, 5, 7, -1, 100}) EXPECT_EQ(Call(action, Table(), UNREADABLE_DATA), -1) << action;
    EXPECT_EQ(Host().GetFaults().Calls(), calls);
    EXPECT_EQ(Counts().Made(Kind::Allocation), made);
  }
}

TEST_P(Entry, MessageIdIsTheLowHalfOfTheValue) {
  ASSERT_EQ(Life().Init(), 1);
  ASSERT_EQ(Life().Start(), 1);
  const int64_t calls = Host().GetFaults().Calls();
  const standin::LedgerCounts before = Counts();
  // Ids 0, 2, -1, 2 and 0: none is message 1, none asks the host anything.
  for (uint64_t value : {uint64_t{0}, uint64_t{2}, ~uint64_t{0}, uint64_t{0xFFFFFFFF'00000002}, uint64_t{0x1'00000000},
                         uint64_t{0x00000000'FFFFFFFF}}) {
    EXPECT_EQ(Life().Message(static_cast<int64_t>(value), UNREADABLE_DATA), 1) << std::hex << value;
  }
  EXPECT_EQ(Host().GetFaults().Calls(), calls);
  EXPECT_EQ(SiteCalls(Site::ResourceFolder), 0);
  EXPECT_EQ(Counts().made, before.made);

  // High bits set, low half 1: message 1, with a null data pointer.
  EXPECT_EQ(Life().Message(int64_t{0x1'00000001}, nullptr), 1);
  EXPECT_EQ(SiteCalls(Site::ResourceFolder), 1);
  EXPECT_EQ(Held(Kind::Resource), 1);
  Unload();
  EXPECT_EQ(Held(Kind::Resource), 0);
}

TEST_P(Entry, RepeatedMessageOneAnswersFromTheFirstReply) {
  Load();
  ASSERT_EQ(SiteCalls(Site::ResourceFolder), 1);
  // Were the host asked again, it would now refuse.
  Host().GetFaults().FailSite(Site::ResourceFolder);
  EXPECT_EQ(Life().Message(BRN_MESSAGE_INIT_RESOURCE), 1);
  EXPECT_EQ(Life().Message(BRN_MESSAGE_INIT_RESOURCE, UNREADABLE_DATA), 1);
  EXPECT_EQ(SiteCalls(Site::ResourceFolder), 1);
  EXPECT_EQ(Held(Kind::Resource), 1);
}

TEST_P(Entry, RefusedResourceStaysRefused) {
  Host().GetFaults().FailSite(Site::ResourceFolder, 0, 1);
  ASSERT_EQ(Life().Init(), 1);
  EXPECT_EQ(Life().Start(), 1);
  EXPECT_EQ(Life().Message(BRN_MESSAGE_INIT_RESOURCE), -1);
  // The host would give a handle now; the module does not ask again.
  EXPECT_EQ(Life().Message(BRN_MESSAGE_INIT_RESOURCE), -1);
  EXPECT_EQ(SiteCalls(Site::ResourceFolder), 1);
  EXPECT_EQ(Held(Kind::Resource), 0);
  EXPECT_EQ(Host().ShownConsole(), std::vector<std::string>{"Quistmoor succesvol"}) << "nothing printed";
  EXPECT_TRUE(Host().MessageBoxes().empty());
  Unload();
}

TEST_P(Entry, LostModulePathStillLoadsWithoutResource) {
  Host().GetFaults().FailSite(Site::Alloc, SiteCalls(Site::Alloc), 1);
  EXPECT_EQ(Life().Init(), 1);
  EXPECT_EQ(Held(Kind::Allocation), 0);
  EXPECT_EQ(Life().Start(), 1);
  EXPECT_EQ(Life().Message(BRN_MESSAGE_INIT_RESOURCE), -1);
  EXPECT_EQ(Life().Message(BRN_MESSAGE_INIT_RESOURCE), -1);
  EXPECT_EQ(SiteCalls(Site::ResourceFolder), 0) << "no folder to ask for";
  // The command does not need the resource.
  EXPECT_TRUE(Run());
  Unload();
}

TEST_P(Entry, ResourceFolderIsTheOneBesideTheModuleFile) {
  // Copies of the module file, one with res/ beside it and one without.
  const std::filesystem::path bare = HostFolder() / "bare";
  const std::filesystem::path furnished = HostFolder() / "furnished";
  for (const auto& folder : {bare, furnished}) {
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(harness::ModulePath(Floor()), folder / "harlwick.xdl64");
  }
  std::filesystem::create_directories(furnished / "res");

  for (const auto& [folder, answer] : {std::pair{bare, -1}, std::pair{furnished, 1}}) {
    SCOPED_TRACE(folder.string());
    std::string error;
    const auto copy = standin::ModuleFile::Open(folder / "harlwick.xdl64", Host().Options().frameworks, error);
    ASSERT_TRUE(copy) << error;
    standin::ModuleLife life(Host(), *copy);
    ASSERT_EQ(life.Init(), 1);
    EXPECT_EQ(life.Message(BRN_MESSAGE_INIT_RESOURCE), answer);
    EXPECT_EQ(life.End(), 1);
  }

  // A host path in the Windows manner: "\" separates folders too. (Elsewhere
  // "\" is part of a name, so the folder is made under that name.)
#ifdef _WIN32
  std::filesystem::create_directories(HostFolder() / "windows" / "res");
#else
  std::filesystem::create_directories(HostFolder() / "windows\\res");
#endif
  std::string windowsPath = standin::Utf8FromPath(HostFolder()) + "/windows\\harlwick.xdl64";
  ASSERT_EQ(Call(BRN_ACTION_INIT, Table(), nullptr, windowsPath.data()), 1);
  EXPECT_EQ(Call(BRN_ACTION_MESSAGE, reinterpret_cast<void*>(uintptr_t{BRN_MESSAGE_INIT_RESOURCE})), 1);
  EXPECT_EQ(Call(BRN_ACTION_END), 1);
}

TEST_P(Entry, OnlyTheLastActionThreeReleases) {
  Load();
  ASSERT_EQ(Call(BRN_ACTION_INIT, Table(), nullptr, path_.data()), 1);
  const standin::LedgerCounts before = Counts();
  ASSERT_EQ(before.ModuleHeld(Kind::Resource), 1);

  EXPECT_EQ(Call(BRN_ACTION_END), 1);
  const standin::LedgerCounts after = Counts();
  EXPECT_EQ(after.moduleHeld, before.moduleHeld);
  EXPECT_EQ(after.live, before.live);
  // Still loaded: the command runs as before.
  EXPECT_TRUE(Run());

  Unload();
  EXPECT_EQ(Held(Kind::Resource), 0);
  EXPECT_EQ(Counts().Live(Kind::Resource), 0);
  EXPECT_EQ(Held(Kind::Allocation), 0);

  // The end's releases, in order: the resource's handle given back, its
  // folder's path freed, then the module's path.
  const standin::Events events = Host().TraceEvents();
  const int64_t lastEnd = events.Last({standin::Call::Entry});
  const int64_t firstMessage = events.First({standin::Call::OpenResourceFolder});
  const uint64_t modulePath = events[static_cast<size_t>(events.First({standin::Call::Alloc}))].made;
  const uint64_t folderPath =
      events[static_cast<size_t>(events.Slice(0, firstMessage).Last({standin::Call::Alloc}))].made;
  const uint64_t resource = events[static_cast<size_t>(firstMessage)].made;
  const standin::Events ending = events.Slice(lastEnd, -1).Of([](const standin::Event& event) {
    return event.call == standin::Call::CloseResourceFolder || event.call == standin::Call::Free;
  });
  EXPECT_EQ(ending.Calls(),
            (std::vector<standin::Call>{standin::Call::CloseResourceFolder, standin::Call::Free, standin::Call::Free}))
      << ending.Text();
  EXPECT_EQ(ending.Objects(), (std::vector<uint64_t>{resource, folderPath, modulePath}));
}

// Nothing of a life outlives its unload: the next load asks for the
// resource and resolves the default logger again, and the logger of the
// first life (released by the host, so that any use of it stops the
// program) is never touched.
TEST_P(Entry, ReloadAfterUnloadStartsAfresh) {
  Host().SetDiagnostics(true);
  for (int cycle = 1; cycle <= 2; ++cycle) {
    SCOPED_TRACE("load " + std::to_string(cycle));
    Host().ClearRecords();
    Host().SetDefaultLogger(std::vector{harness::Storing({cycle == 1 ? "first life" : "second life"})});
    Load();
    EXPECT_EQ(Held(Kind::Resource), 1);
    EXPECT_EQ(Host().ShownConsole(), std::vector<std::string>{"Quistmoor succesvol"});
    EXPECT_TRUE(Run());
    EXPECT_TRUE(Run());
    EXPECT_EQ(Host().DefaultLoggerResolutions(), cycle) << "once per life";
    EXPECT_EQ(Outputs().size(), 3u) << "the echoes reach this life's logger";
    Unload();
    ExpectBalanced();
  }
  EXPECT_EQ(SiteCalls(Site::ResourceFolder), 2) << "each load asks for the resource once";
}

// While nothing is loaded (before any action 1, after a refused one and
// after the last action 3) the module has no table: actions 2, 6 and 3
// answer at once and reach neither a hook nor the host.
TEST_P(Entry, NotLoadedAnswersWithoutTheHost) {
  auto expectNotLoaded = [this](const char* when) {
    SCOPED_TRACE(when);
    Host().GetTrace().Clear();
    EXPECT_EQ(Call(BRN_ACTION_START), 0);
    EXPECT_EQ(Call(BRN_ACTION_MESSAGE, reinterpret_cast<void*>(uintptr_t{1})), -1);
    EXPECT_EQ(Call(BRN_ACTION_MESSAGE, reinterpret_cast<void*>(uintptr_t{2})), -1);
    EXPECT_EQ(Call(BRN_ACTION_END), 1);
    EXPECT_EQ(Host().TraceEvents().Size(), 0u) << Host().TraceEvents().Text();
    EXPECT_TRUE(Host().Plugins().empty());
  };
  expectNotLoaded("before action 1");
  Host().SetApiVersion(Floor() - 1);
  ASSERT_EQ(Life().Init(), BRN_ENTRY_TOO_OLD);
  expectNotLoaded("after a refused action 1");

  Host().SetApiVersion(Floor());
  Load();
  EXPECT_TRUE(Run());
  Unload();
  Host().DestroyPlugins();
  Host().Plugins().clear();
  expectNotLoaded("after the last action 3");
}

// An older host's table ends before entries the build calls: the module
// refuses it having read nothing past its end (the host puts the end of a
// shorter table against memory that cannot be read).
TEST_P(Entry, TableShorterThanTheBuildsOrNoneIsRefused) {
  EXPECT_EQ(Call(BRN_ACTION_INIT, nullptr, nullptr, path_.data()), BRN_ENTRY_TOO_OLD) << "no table";
  for (const size_t bytes : {offsetof(brn_host_api, print_to_console), offsetof(brn_host_api, alloc),
                             offsetof(brn_host_api, logger_write)}) {
    SCOPED_TRACE(bytes);
    Host().OfferTable(bytes);
    EXPECT_EQ(Host().Table()->table_size, bytes);
    EXPECT_EQ(Life().Init(), BRN_ENTRY_TOO_OLD);
    EXPECT_EQ(Call(BRN_ACTION_START), 0);
  }
  EXPECT_EQ(Counts().Made(Kind::Allocation), 0);
  EXPECT_TRUE(Host().Plugins().empty());

  // The whole table loads.
  Host().OfferTable(sizeof(brn_host_api));
  Load();
  EXPECT_TRUE(Run());
}

TEST_P(Entry, DeclarationNamesTheModuleAndItsFrameworks) {
  const standin::ModuleDeclaration& declared = Module().Declaration();
  EXPECT_EQ(declared.moduleId, "net.brannocexample.harlwick");
  EXPECT_EQ(declared.apiFloor, Floor());
  EXPECT_EQ(declared.frameworks, FrameworksOf(Floor()));
  EXPECT_EQ(declared.global, Floor() == 20017 ? "g_privateBinary" : "g_brannoc");
}

TEST_P(Entry, HostLackingAFrameworkRefusesTheFile) {
  std::string error;
  // Exactly the declared frameworks are enough.
  EXPECT_TRUE(standin::ModuleFile::Open(harness::ModulePath(Floor()), FrameworksOf(Floor()), error)) << error;

  for (const std::string& missing : FrameworksOf(Floor())) {
    std::vector<std::string> offered = standin::AllFrameworks();
    offered.erase(std::find(offered.begin(), offered.end(), missing));
    error.clear();
    EXPECT_FALSE(standin::ModuleFile::Open(harness::ModulePath(Floor()), offered, error)) << missing;
    EXPECT_NE(error.find(missing), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  }
}

TEST_P(Entry, ExportsExactlyTheEntryAndTheGenerationsGlobals) {
#ifdef _WIN32
  GTEST_SKIP() << "reads an ELF symbol table; a Windows module's export table is checked from its PE headers";
#else
  const std::string command = "nm -D --defined-only '" + harness::ModulePath(Floor()).string() + "' 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr) << command;
  std::string output;
  std::array<char, 512> buffer{};
  while (std::fgets(buffer.data(), static_cast<int>(buffer.size()), pipe) != nullptr) output += buffer.data();
  ASSERT_EQ(pclose(pipe), 0) << command << "\n" << output;

  // Each line: address, symbol type, name.
  std::set<std::string> exported;
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string address, type, name;
    fields >> address >> type >> name;
    if (!name.empty()) exported.insert(name);
  }
  EXPECT_EQ(exported, GlobalsOf(Floor())) << output;
#endif
}

INSTANTIATE_TEST_SUITE_P(AllGenerations, Entry, ::testing::ValuesIn(harness::BothEndOrders()), harness::SetupName);

}  // namespace
