// The console lines, the closing prompt and the ways the process ends.
#include "run/console_io.h"

#include <gtest/gtest.h>

#include "support/fake_platform.h"

namespace updater {
namespace {

using testing::ExitCodeOf;
using testing::FakePlatform;
using Lines = std::vector<std::string>;

ConsoleKey Key(const char* text) {
  ConsoleKey key;
  key.Text = text;
  return key;
}

class ConsoleIoTest : public ::testing::Test {
 protected:
  FakePlatform fake_;
  RunSettings settings_;
  RunServices services_{fake_.Platform, settings_};
};

TEST_F(ConsoleIoTest, OpeningPrintsTheHeader) {
  EXPECT_TRUE(OpenUpdaterConsole(settings_, services_));
  EXPECT_EQ(fake_.Console.OpenCount, 1);
  EXPECT_EQ(fake_.Console.Lines, (Lines{"", "VOXA Updater v1.00"}));
}

TEST_F(ConsoleIoTest, SilentOpensNothingAndPrintsNothing) {
  settings_.AskMode = AskModeSetting::Silent;
  EXPECT_TRUE(OpenUpdaterConsole(settings_, services_));
  PrintLine(services_, "hidden");
  EXPECT_EQ(fake_.Console.OpenCount, 0);
  EXPECT_TRUE(fake_.Console.Lines.empty());
}

TEST_F(ConsoleIoTest, AConsoleThatCannotOpenEndsWithAMessageBox) {
  fake_.Console.OpenResult = false;
  settings_.AskMode = AskModeSetting::DontAsk;  // the box shows all the same
  EXPECT_FALSE(OpenUpdaterConsole(settings_, services_));
  EXPECT_EQ(fake_.Console.ErrorBoxes, (Lines{"Error: Failed to open console!"}));
  EXPECT_TRUE(fake_.Console.Lines.empty());
}

TEST_F(ConsoleIoTest, FatalErrorShowsABoxOnlyWhenTheUserMayBeAsked) {
  EXPECT_EQ(
      ExitCodeOf([&] { FatalError(settings_, services_, "Error: Failed to copy Updater.tmp."); }),
      0);
  EXPECT_EQ(fake_.Console.ErrorBoxes, (Lines{"Error: Failed to copy Updater.tmp."}));
  EXPECT_TRUE(fake_.Console.Lines.empty());

  for (AskModeSetting mode : {AskModeSetting::DontAsk, AskModeSetting::Silent}) {
    FakePlatform quiet;
    RunSettings settings;
    RunServices services(quiet.Platform, settings);
    settings.AskMode = mode;
    EXPECT_EQ(ExitCodeOf([&] { FatalError(settings, services, "text"); }), 0);
    EXPECT_TRUE(quiet.Console.ErrorBoxes.empty());
  }
}

TEST_F(ConsoleIoTest, EndProgramWaitsForEnterAndIgnoresOtherKeys) {
  fake_.Console.Keys = {Key("y"), Key(""), Key(" "), Key("\r"), Key("n")};
  EXPECT_EQ(ExitCodeOf([&] { EndProgram(settings_, services_, 0); }), 0);
  EXPECT_EQ(fake_.Console.Lines, (Lines{"", "Press enter to end program."}));
  EXPECT_EQ(fake_.Console.KeyPolls, 4);  // stops at Enter, the "n" stays unread
  EXPECT_EQ(fake_.Clock.Sleeps, (std::vector<int>{20, 20, 20, 20}));
}

TEST_F(ConsoleIoTest, EndProgramTakesTheEndOfInputAsEnter) {
  fake_.Console.InputClosedWhenEmpty = true;
  EXPECT_EQ(ExitCodeOf([&] { EndProgram(settings_, services_, 0); }), 0);
  EXPECT_EQ(fake_.Console.KeyPolls, 1);
}

TEST_F(ConsoleIoTest, EndProgramDoesNotWaitWithoutAsking) {
  settings_.AskMode = AskModeSetting::DontAsk;
  EXPECT_EQ(ExitCodeOf([&] { EndProgram(settings_, services_, 0); }), 0);
  EXPECT_EQ(fake_.Console.Lines, (Lines{"", "Press enter to end program."}));
  EXPECT_EQ(fake_.Console.KeyPolls, 0);
}

TEST_F(ConsoleIoTest, TheCheckResultBecomesTheExitCodeOnlyThroughEndProgram) {
  settings_.AskMode = AskModeSetting::Silent;
  EXPECT_EQ(ExitCodeOf([&] { ExitProgram(services_); }), 0);
  EXPECT_EQ(ExitCodeOf([&] { EndProgram(settings_, services_, 1); }), 1);
  EXPECT_TRUE(fake_.Console.Lines.empty());
}

}  // namespace
}  // namespace updater
