// Registration of the command at start-up: what the host records, the
// console lines of every outcome, the end of the command object and the
// command base class's defaults.
#include <string>
#include <vector>

#include "support/harness.h"

namespace {

using harness::ModuleTest;
using harness::QUISTMOOR_ID;
using standin::Kind;
using standin::Site;

constexpr const char* SUCCESS_LINE = "Quistmoor succesvol";
constexpr const char* REFUSED_LINE = "Could not register plugin - Quistmoor.";
constexpr const char* COMMAND_SOURCE = "..\\source\\Quistmoor";

// The destruction callback the module handed over, wrapped to count its calls.
int destroyCalls = 0;
void (*moduleDestroy)(void*) = nullptr;
void CountingDestroy(void* object) {
  ++destroyCalls;
  moduleDestroy(object);
}

class Registration : public ModuleTest {
 protected:
  // Action 1 and 2 only, for starts that may not register.
  void Start() {
    ASSERT_EQ(Life().Init(), 1);
    ASSERT_EQ(Life().Start(), 1) << "the start hook answers true whatever the registration did";
  }
  // Fails the next Alloc: the command object's storage.
  void FailCommandAllocation() {
    Host().GetFaults().FailSite(Site::Alloc, Host().GetFaults().SiteCalls(Site::Alloc), 1);
  }
  void CountDestruction(standin::RegisteredPlugin& plugin) {
    destroyCalls = 0;
    moduleDestroy = plugin.dispatch.destroy;
    plugin.dispatch.destroy = &CountingDestroy;
  }
  void ExpectRefusedLine(const standin::ConsoleLine& line) {
    EXPECT_EQ(line.level, BRN_OUTPUT_DIAGNOSTIC);
    EXPECT_EQ(line.text, REFUSED_LINE);
    EXPECT_EQ(line.file, COMMAND_SOURCE);
    EXPECT_GT(line.line, 0);
  }
};

TEST_P(Registration, AcceptedCommandPrintsOnlyTheSuccessLine) {
  Host().SetDiagnostics(true);
  Load();
  ASSERT_EQ(Host().Console().size(), 1u);
  const standin::ConsoleLine& line = Host().Console()[0];
  EXPECT_EQ(line.level, 0) << "printed with PrintToHostConsole";
  EXPECT_EQ(line.text, SUCCESS_LINE);
  EXPECT_TRUE(line.shown);

  ASSERT_EQ(Host().Plugins().size(), 1u);
  const standin::RegisteredPlugin& plugin = Host().Plugins()[0];
  EXPECT_TRUE(plugin.accepted);
  EXPECT_EQ(plugin.type, BRN_PLUGINTYPE_COMMAND);
  EXPECT_EQ(plugin.id, 1050115);
  EXPECT_EQ(plugin.name, "Quistmoor");
  EXPECT_EQ(plugin.info, 0x30000000);
  EXPECT_FALSE(plugin.hasIcon);
  EXPECT_EQ(plugin.help, "");
  EXPECT_NE(plugin.object, nullptr);
  EXPECT_TRUE(Host().GetLedger().IsAllocation(plugin.object)) << "storage from the host's Alloc";
  EXPECT_TRUE(Run());
}

TEST_P(Registration, RefusedCommandPrintsTheDiagnosticOnly) {
  Host().GetFaults().FailSite(Site::RegisterPlugin);
  Host().SetDiagnostics(true);
  Start();
  ASSERT_EQ(Host().ShownConsole().size(), 1u) << "no success line after a refusal";
  ExpectRefusedLine(Host().Console()[0]);
  ASSERT_EQ(Host().Plugins().size(), 1u);
  EXPECT_FALSE(Host().Plugins()[0].accepted);
  EXPECT_FALSE(Host().RunCommand(QUISTMOOR_ID).has_value());
  EXPECT_EQ(Life().Message(BRN_MESSAGE_INIT_RESOURCE), 1) << "the module stays loaded without its command";
  Unload();
}

TEST_P(Registration, RefusedCommandWithDiagnosticsHiddenShowsNothing) {
  Host().GetFaults().FailSite(Site::RegisterPlugin);
  Start();
  EXPECT_TRUE(Host().ShownConsole().empty());
  Unload();
}

TEST_P(Registration, NoMemoryForTheCommandObject) {
  struct Case {
    const char* name;
    void (*breakErrors)(standin::Host&);
    bool errorLine;  // a diagnostic for the error text comes first
    bool errorText;  // ... and it holds the out-of-memory text
  };
  const Case cases[] = {
      {"error made", [](standin::Host&) {}, true, true},
      {"error not made", [](standin::Host& host) { host.GetFaults().FailSite(Site::CreateError); }, true, false},
      {"error without text", [](standin::Host& host) { host.GetFaults().FailSite(Site::ErrorToString); }, true, false},
      {"no error slot", [](standin::Host& host) { host.SetErrorSlotAvailable(false); }, false, false},
  };
  for (const Case& test : cases) {
    for (bool shown : {true, false}) {
      SCOPED_TRACE(std::string(test.name) + (shown ? ", diagnostics shown" : ", diagnostics hidden"));
      Host().GetFaults().Clear();
      Host().SetErrorSlotAvailable(true);
      Host().SetDiagnostics(shown);
      Host().ClearRecords();
      test.breakErrors(Host());
      ASSERT_EQ(Life().Init(), 1);
      FailCommandAllocation();
      ASSERT_EQ(Life().Start(), 1);

      EXPECT_TRUE(Host().Plugins().empty()) << "the host's registration is never reached";
      const std::vector<standin::ConsoleLine>& console = Host().Console();
      if (!shown) {
        EXPECT_TRUE(Host().ShownConsole().empty());
      } else {
        ASSERT_EQ(console.size(), test.errorLine ? 2u : 1u);
        if (test.errorLine) {
          EXPECT_EQ(console[0].level, BRN_OUTPUT_DIAGNOSTIC);
          if (test.errorText)
            EXPECT_EQ(console[0].text.rfind("Not enough memory.", 0), 0u) << console[0].text;
          else
            EXPECT_EQ(console[0].text, "");
          // The SDK's own output, located relative to the project, never in the builder's folders.
          EXPECT_EQ(console[0].file, "standin/sdk/include/brannoc/console.h");
        }
        ExpectRefusedLine(console.back());
      }
      EXPECT_EQ(Life().End(), 1);
      ExpectBalanced();
    }
  }
}

// A constant text the host cannot make fails the step that needs it: without
// the command's name the host is never asked and the module ends the object
// it still owns; without the success line nothing is printed.
TEST_P(Registration, ConstantTextTheHostCannotMake) {
  struct Case {
    const char* text;
    bool registered;
    std::vector<std::string> shown;
  };
  for (const Case& test : {Case{"Quistmoor", false, {REFUSED_LINE}}, Case{SUCCESS_LINE, true, {}}}) {
    SCOPED_TRACE(test.text);
    Host().SetOddAnswers({.constTextNotMade = test.text});
    Host().SetDiagnostics(true);
    Host().ClearRecords();
    Host().Plugins().clear();
    const int64_t liveBefore = Host().GetLedger().Counts().Live(Kind::Allocation);
    Start();
    EXPECT_EQ(Host().ShownConsole(), test.shown);
    EXPECT_EQ(Host().RunCommand(QUISTMOOR_ID).has_value(), test.registered);
    if (!test.registered) {
      EXPECT_TRUE(Host().Plugins().empty()) << "the host's registration is never reached";
      ExpectRefusedLine(Host().Console()[0]);
      const standin::Events events = Host().TraceEvents();
      const int64_t made =
          events.First({standin::Call::Alloc}, static_cast<size_t>(events.Last({standin::Call::Entry})));
      ASSERT_GE(made, 0);
      EXPECT_GE(events.First({standin::Call::FreeWithDestructor, events[static_cast<size_t>(made)].made}), 0)
          << "the command object is ended";
      // Only the module path's copy, as before the start.
      EXPECT_EQ(Host().GetLedger().Counts().Live(Kind::Allocation), liveBefore + 1);
    }
    EXPECT_EQ(Life().End(), 1);
    ExpectBalanced();
  }
}

TEST_P(Registration, AcceptedObjectEndsOnceAtUnload) {
  Load();
  ASSERT_EQ(Host().Plugins().size(), 1u);
  standin::RegisteredPlugin& plugin = Host().Plugins()[0];
  void* const object = plugin.object;
  CountDestruction(plugin);

  const int64_t live = Host().GetLedger().Counts().Live(Kind::Allocation);
  Host().DestroyPlugins();
  EXPECT_EQ(destroyCalls, 1);
  EXPECT_FALSE(Host().GetLedger().IsAllocation(object));
  EXPECT_EQ(Host().GetLedger().Counts().Live(Kind::Allocation), live - 1) << "the storage is freed once";
  Unload();
  EXPECT_EQ(destroyCalls, 1);
}

// The host ends the command before the module's last action 3 or after it;
// either way the end goes through the table the module kept, once.
TEST_P(Registration, ObjectEndsInTheHostsOrderAroundTheLastActionThree) {
  Load();
  EXPECT_TRUE(Run());
  standin::RegisteredPlugin& plugin = Host().Plugins()[0];
  void* const object = plugin.object;
  CountDestruction(plugin);
  Host().ClearRecords();
  Unload();
  EXPECT_EQ(destroyCalls, 1);
  EXPECT_FALSE(Host().GetLedger().IsAllocation(object));
  const standin::Events events = Host().TraceEvents();
  const int64_t end = events.First({standin::Call::Entry});
  const int64_t freed = events.First({standin::Call::FreeWithDestructor});
  ASSERT_GE(end, 0);
  ASSERT_GE(freed, 0);
  if (GetParam().end == standin::EndOrder::ObjectsFirst)
    EXPECT_LT(freed, end) << events.Text();
  else
    EXPECT_GT(freed, end) << events.Text();
}

TEST_P(Registration, RefusedObjectIsEndedByTheHostNotTheModule) {
  Host().GetFaults().FailSite(Site::RegisterPlugin);
  Start();
  ASSERT_EQ(Host().Plugins().size(), 1u);
  standin::RegisteredPlugin& plugin = Host().Plugins()[0];
  void* const object = plugin.object;
  // The module kept nothing of it: the host holds its storage.
  EXPECT_TRUE(Host().GetLedger().IsAllocation(object));
  EXPECT_EQ(Host().GetLedger().Counts().ModuleHeld(Kind::Allocation), 1) << "only the module path's copy";
  CountDestruction(plugin);
  Unload();
  EXPECT_EQ(destroyCalls, 1);
  EXPECT_FALSE(Host().GetLedger().IsAllocation(object));
}

TEST_P(Registration, DestructionCallbackIgnoresNull) {
  Load();
  const standin::LedgerCounts before = Host().GetLedger().Counts();
  Host().Plugins()[0].dispatch.destroy(nullptr);
  const standin::LedgerCounts after = Host().GetLedger().Counts();
  EXPECT_EQ(after.live, before.live);
  EXPECT_EQ(after.made, before.made);
  EXPECT_TRUE(Run()) << "the command lives on";
}

TEST_P(Registration, SecondStartIsRefusedAsADuplicate) {
  Host().SetDiagnostics(true);
  Load();
  Host().ClearRecords();
  EXPECT_EQ(Life().Start(), 1);
  ASSERT_EQ(Host().ShownConsole().size(), 1u);
  ExpectRefusedLine(Host().Console()[0]);
  ASSERT_EQ(Host().Plugins().size(), 2u);
  EXPECT_TRUE(Host().Plugins()[0].accepted);
  EXPECT_FALSE(Host().Plugins()[1].accepted);
  EXPECT_TRUE(Run()) << "the first command still runs";

  Unload();
  for (const standin::RegisteredPlugin& plugin : Host().Plugins()) {
    EXPECT_TRUE(plugin.destroyed);
    EXPECT_FALSE(Host().GetLedger().IsAllocation(plugin.object));
  }
}

TEST_P(Registration, UnoverriddenOperationsAnswerTheBaseDefaults) {
  Load();
  const standin::RegisteredPlugin& plugin = Host().Plugins()[0];
  const brn_command_dispatch& call = plugin.dispatch;
  void* const object = plugin.object;
  int document = 0;
  const standin::LedgerCounts before = Host().GetLedger().Counts();

  EXPECT_EQ(call.execute_sub_id(object, nullptr, 0), 0);
  EXPECT_EQ(call.execute_sub_id(object, &document, 7), 0);
  EXPECT_EQ(call.execute_option_id(object, nullptr, QUISTMOOR_ID, 0), 0);
  EXPECT_EQ(call.execute_option_id(object, &document, 1, -1), 0);
  EXPECT_EQ(call.get_state(object, nullptr, nullptr), 0x40000000);
  EXPECT_EQ(call.get_state(object, &document, &document), 0x40000000);
  EXPECT_EQ(call.get_sub_container(object, nullptr, nullptr), 0);
  EXPECT_EQ(call.restore_layout(object, nullptr), 1);
  EXPECT_EQ(call.get_script_name(object), nullptr);
  EXPECT_EQ(call.message(object, 0, nullptr), 1);
  EXPECT_EQ(call.message(object, -1, &document), 1);

  // None of them touches the host.
  const standin::LedgerCounts after = Host().GetLedger().Counts();
  EXPECT_EQ(after.made, before.made);
  EXPECT_EQ(after.moduleHeld, before.moduleHeld);
  EXPECT_EQ(Host().ShownConsole(), std::vector<std::string>{SUCCESS_LINE});
}

INSTANTIATE_TEST_SUITE_P(AllGenerations, Registration, ::testing::ValuesIn(harness::BothEndOrders()),
                         harness::SetupName);

}  // namespace
