// The host's ledger, driven through the function table with no module: what
// it counts as held by a module, and how it stops a module that misuses a
// host object.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "standin/host.h"

namespace {

using standin::Kind;

// The table a converter (a plain function) reaches the host through.
const brn_host_api* currentTable = nullptr;
// What a converter under test replaced in its receiving String.
brn_string* replaced = nullptr;

class LedgerTest : public ::testing::Test {
 protected:
  LedgerTest() : host_(Options()) {}

  static standin::HostOptions Options() {
    standin::HostOptions options;
    options.abortOnLeak = false;
    return options;
  }
  const brn_host_api& T() { return *host_.Table(); }
  standin::LedgerCounts Counts() { return host_.GetLedger().Counts(); }
  int64_t Held(Kind kind) { return Counts().ModuleHeld(kind); }
  // The host's default logger, as a module resolves it.
  const brn_logger* DefaultLogger() { return T().resolve_logger_declaration(standin::DEFAULT_LOGGER_ID); }

  standin::Host host_;
};

TEST_F(LedgerTest, StartsWithNothingHeldByAModule) {
  const standin::LedgerCounts counts = Counts();
  for (size_t kind = 0; kind < standin::KIND_COUNT; ++kind) EXPECT_EQ(counts.moduleHeld[kind], 0) << kind;
  EXPECT_EQ(counts.moduleBytes, 0);
  EXPECT_TRUE(host_.GetLedger().ModuleHeldReport().empty());
}

TEST_F(LedgerTest, CountedReferencesFollowAcquireAndRelease) {
  brn_string* made = T().string_create();
  EXPECT_EQ(Held(Kind::String), 1);
  T().acquire(made);
  EXPECT_EQ(Held(Kind::String), 2);
  const std::vector<std::string> report = host_.GetLedger().ModuleHeldReport();
  ASSERT_EQ(report.size(), 1u);
  EXPECT_NE(report[0].find("String #"), std::string::npos) << report[0];
  EXPECT_NE(report[0].find("made by string_create: 2 held"), std::string::npos) << report[0];
  T().release(made);
  EXPECT_EQ(Held(Kind::String), 1);
  T().release(made);
  EXPECT_EQ(Held(Kind::String), 0);

  // A host-kept String: only the module's own references count.
  const int64_t liveStrings = Counts().Live(Kind::String);
  const brn_string* constant = T().get_and_cache_const_string("kept", 4, -1);
  EXPECT_EQ(Held(Kind::String), 0);
  T().acquire(constant);
  EXPECT_EQ(Held(Kind::String), 1);
  T().release(constant);
  EXPECT_EQ(Held(Kind::String), 0);
  EXPECT_EQ(Counts().Live(Kind::String), liveStrings + 1) << "the host keeps its constant";

  // A String the host shares after two writes: the module's reference is its own.
  brn_string* line = T().concat_string_cstring(nullptr, "line");
  ASSERT_EQ(T().logger_write(DefaultLogger(), 14, line, {"ledger", 1}, 1, nullptr), 1);
  ASSERT_EQ(T().logger_write(DefaultLogger(), 14, line, {"ledger", 2}, 1, nullptr), 1);
  EXPECT_EQ(Held(Kind::String), 1);
  T().release(line);
  EXPECT_EQ(Held(Kind::String), 0);
  EXPECT_EQ(Counts().Live(Kind::String), liveStrings + 2) << "the logger keeps the line";

  // Errors and data types.
  brn_string* text = T().error_to_string(T().get_null_return_error(BRN_ERROR_OUT_OF_MEMORY));
  EXPECT_EQ(Held(Kind::String), 1);
  EXPECT_EQ(Held(Kind::Error), 0);
  T().release(text);
  brn_datatype* type = nullptr;
  ASSERT_NE(T().find_entry_value(standin::LOGGER_REGISTRY_ID, standin::DEFAULT_LOGGER_ID, -1, &type), nullptr);
  EXPECT_EQ(Held(Kind::DataType), 1);
  T().release(type);
  EXPECT_EQ(Held(Kind::DataType), 0);

  // Logger types: one reference per entry of the list, and the list's storage.
  brn_array types{};
  T().get_logger_types(DefaultLogger(), &types);
  ASSERT_EQ(types.count, 2);
  EXPECT_EQ(Held(Kind::LoggerType), 2);
  EXPECT_EQ(Held(Kind::Allocation), 1);
  auto* entries = static_cast<brn_logger_type_entry*>(types.data);
  for (int64_t index = types.count - 1; index >= 0; --index) T().release(entries[index].type);
  T().free(types.data);
  EXPECT_EQ(Held(Kind::LoggerType), 0);
  EXPECT_EQ(Held(Kind::Allocation), 0);
  host_.EndModule();
  EXPECT_TRUE(host_.GetLedger().ModuleHeldReport().empty());
}

TEST_F(LedgerTest, ObjectsWithAFreeOperationAndAllocations) {
  brn_filename* name = T().filename_from_cstring("consolelog.txt");
  brn_filename* folder = T().get_host_path(BRN_HOSTPATH_USER_FOLDER);
  brn_filename* joined = T().join_filename(folder, name);
  EXPECT_EQ(Held(Kind::FileName), 3);
  T().free_filename(folder);
  T().free_filename(name);
  EXPECT_EQ(Held(Kind::FileName), 1);
  T().free_filename(joined);
  EXPECT_EQ(Held(Kind::FileName), 0);
  EXPECT_EQ(Counts().Live(Kind::FileName), 0);

  brn_file* file = T().alloc_host_file();
  EXPECT_EQ(Held(Kind::File), 1);
  T().free_host_file(file);
  EXPECT_EQ(Held(Kind::File), 0);

  void* memory = T().alloc(24, {"ledger", 1});
  EXPECT_EQ(Held(Kind::Allocation), 1);
  EXPECT_EQ(Counts().moduleBytes, 24);
  memory = T().realloc(memory, 100, {"ledger", 2});
  ASSERT_NE(memory, nullptr);
  EXPECT_EQ(Held(Kind::Allocation), 1);
  EXPECT_EQ(Counts().moduleBytes, 100);
  T().free(memory);
  EXPECT_EQ(Held(Kind::Allocation), 0);
  EXPECT_EQ(Counts().moduleBytes, 0);
}

// The leak report, by which every test and the fault sweep judge a module,
// names exactly what the module holds: its own allocations and references,
// never what the host owns or keeps.
TEST_F(LedgerTest, LeakReportNamesExactlyWhatTheModuleHolds) {
  void* planted = T().alloc(24, {"planted.cpp", 7});
  void* handedOver = T().alloc(40, {"handed-over.cpp", 9});
  host_.GetLedger().TakeOverAllocation(handedOver);
  const brn_string* constant = T().get_and_cache_const_string("kept", 4, -1);
  T().acquire(constant);
  T().acquire(DefaultLogger());
  T().release(DefaultLogger());

  std::vector<std::string> report = host_.GetLedger().ModuleHeldReport();
  std::sort(report.begin(), report.end());
  ASSERT_EQ(report.size(), 2u) << ::testing::PrintToString(report);
  EXPECT_NE(report[0].find("of 24 bytes made at planted.cpp:7"), std::string::npos) << report[0];
  EXPECT_EQ(report[0].rfind("Allocation #", 0), 0u) << report[0];
  EXPECT_NE(report[1].find("made by ConstString: 1 held by the module"), std::string::npos) << report[1];

  T().release(constant);
  T().free(planted);
  T().free(handedOver);
  host_.EndModule();
  EXPECT_TRUE(host_.GetLedger().ModuleHeldReport().empty());
}

// What a forgiving host puts right, it still records: a file freed while
// open is closed for the module (its bytes kept) and named as a breach; a
// format converter that does not release what its receiving String held
// leaves that reference with the module.
TEST_F(LedgerTest, BreachesTheHostForgivesAreRecorded) {
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("harlwick-ledger-" + std::to_string(std::random_device()()));
  std::filesystem::create_directories(folder);
  host_.SetHostFolder(folder);
  brn_filename* name = T().filename_from_cstring((folder / "open.txt").string().c_str());
  brn_file* file = T().alloc_host_file();
  ASSERT_EQ(T().open_host_file(file, name, BRN_FILEOPEN_WRITE, BRN_FILEDIALOG_NONE, BRN_BYTEORDER_V_MOTOROLA, 0, 0), 1);
  EXPECT_EQ(T().write_host_file_char(file, 'x'), 1);
  EXPECT_TRUE(host_.ProtocolFaults().empty());
  T().free_host_file(file);
  ASSERT_EQ(host_.ProtocolFaults().size(), 1u);
  EXPECT_NE(host_.ProtocolFaults()[0].find("freed while still open"), std::string::npos) << host_.ProtocolFaults()[0];
  EXPECT_EQ(std::filesystem::file_size(folder / "open.txt"), 1u);
  T().free_filename(name);

  // A converter that shares its argument but keeps what it replaced.
  const brn_format_converter keeping = [](brn_string** receiving, const void* argument) {
    const auto* shared = *static_cast<const brn_string* const*>(argument);
    currentTable->acquire(shared);
    replaced = *receiving;
    *receiving = const_cast<brn_string*>(shared);
  };
  currentTable = &T();
  const brn_string* word = T().get_and_cache_const_string("word", 4, -1);
  const void* const arguments[] = {&word};
  brn_string* formatted = T().format_x_args("say @", 1, arguments, &keeping);
  ASSERT_NE(formatted, nullptr);
  EXPECT_EQ(T().string_get_length(formatted), 8);
  T().release(formatted);
  const std::vector<std::string> report = host_.GetLedger().ModuleHeldReport();
  ASSERT_EQ(report.size(), 1u) << ::testing::PrintToString(report);
  EXPECT_NE(report[0].find("made by host: formatter's receiving String: 1 held by the module"), std::string::npos)
      << report[0];
  T().release(replaced);
  EXPECT_TRUE(host_.GetLedger().ModuleHeldReport().empty());
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
}

// Each misuse stops the program at once, naming the operation, the kind of
// object and the host call that made it.
class LedgerDeathTest : public LedgerTest {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(LedgerDeathTest, SecondReleaseOfAString) {
  // Released once too often while the host still shares it.
  EXPECT_DEATH(
      {
        brn_string* line = T().concat_string_cstring(nullptr, "shared");
        T().logger_write(DefaultLogger(), 14, line, {"ledger", 1}, 1, nullptr);
        T().release(line);
        T().release(line);
      },
      "release: second release of String #.+ made by ConcatStringCString");
  // Released once too often, the last reference gone.
  EXPECT_DEATH(
      {
        brn_string* made = T().string_create();
        T().release(made);
        T().release(made);
      },
      "release: use after release of String #.+ made by string_create");
  // A host-kept constant the module never acquired.
  EXPECT_DEATH(T().release(T().get_and_cache_const_string("kept", 4, -1)),
               "release: second release of String #.+ made by ConstString");
}

TEST_F(LedgerDeathTest, UseAfterTheLastRelease) {
  EXPECT_DEATH(
      {
        brn_string* made = T().concat_string_cstring(nullptr, "gone");
        T().release(made);
        (void)T().string_get_length(made);
      },
      "string_get_length: use after release of String #.+ made by ConcatStringCString");
  EXPECT_DEATH(
      {
        brn_filename* name = T().filename_from_cstring("gone");
        T().free_filename(name);
        T().free_filename(name);
      },
      "free_filename: use after release of HostFileName #.+ made by FileNameFromCString");
}

TEST_F(LedgerDeathTest, ReleaseOfSomethingTheHostNeverMade) {
  EXPECT_DEATH(
      {
        alignas(16) unsigned char junk[128] = {};
        T().release(junk);
      },
      "release: given something the host never made");
  EXPECT_DEATH(T().release(T().alloc(64, {"ledger", 3})), "release: given memory from alloc, not a host object");
}

TEST_F(LedgerDeathTest, DoubleFreeOfAnAllocation) {
  EXPECT_DEATH(
      {
        void* memory = T().alloc(16, {"ledger_site", 42});
        T().free(memory);
        T().free(memory);
      },
      "free: second free of the Allocation made at ledger_site:42");
}

TEST_F(LedgerDeathTest, FileNameIsNotCounted) {
  EXPECT_DEATH(T().acquire(T().filename_from_cstring("name")),
               "acquire: HostFileName #.+ made by FileNameFromCString is not counted");
  EXPECT_DEATH(T().release(T().get_host_path(BRN_HOSTPATH_USER_FOLDER)),
               "release: HostFileName #.+ made by GetHostPath is not counted");
}

}  // namespace
