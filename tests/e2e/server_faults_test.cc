// The updater of each build, run as a real process against scripted servers
// that misbehave: bodies cut off, a body without end, a server that never
// answers and ones that drip, a run killed during a download, lists that are
// no lists, a catalogue of millions of empty lines, a resume answered with
// another file. What must hold: files are replaced only by complete ones, cut
// packages are resumed but never spliced, nothing waits for ever or fills the
// memory, and the run moves on to the next server. The tests of the time
// limits run the updater built with limits of seconds (quick_time_limits.cc),
// which keeps the rules of the shipped one over shorter windows.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <thread>

#include "e2e/builds.h"
#include "e2e/installation_test.h"
#include "e2e/process_runner.h"
#include "http/test_server.h"
#include "support/temp_folder.h"

namespace updater::testing {
namespace {

namespace fs = std::filesystem;
using Headers = std::vector<std::pair<std::string, std::string>>;

// A base URL where nothing listens: an attempt there fails at once.
std::string DeadServer() {
  TestServer server;
  server.Start();
  std::string url = server.URL("/");
  server.Stop();
  return url;
}

class ServerFaultsTest : public InstallationTest {
 protected:
  void SetUp() override {
    InstallationTest::SetUp();
    if (IsSkipped()) return;
    Install();
    oldList_ = DeadServer() + "\r\n";
    WriteWholeFile(program_ + "UpdateServer.lst", oldList_);
  }

  // A server folder `folder` whose files are answered by `answers` (by file
  // name); other files are missing. Before Start().
  static void Serve(TestServer& server, const std::string& folder,
                    std::map<std::string, TestServer::Handler> answers) {
    for (auto& [file, answer] : answers) server.Handle("/" + folder + "/" + file, answer);
  }
  // The base URL of a folder of a started server.
  static std::string Base(TestServer& server, const std::string& folder) {
    return server.URL("/" + folder + "/");
  }

  // The files of a good server offering VOXA 1.05 in voxa105.mxu, each
  // answered in full; `package` answers the package instead when given.
  std::map<std::string, TestServer::Handler> GoodServer(TestServer::Handler package = nullptr) {
    std::map<std::string, TestServer::Handler> files = {
        {"UpdateInfo.txt", Whole("ok")},
        {"UpdateServer.lst", Whole(kNewList)},
        {"VersionInfo.txt", Whole("VOXA   voxa105.mxu   105\r\n")},
        {"voxa105.mxu", package ? package : Whole(Package())},
    };
    return files;
  }

  static TestServer::Handler Whole(std::string body) {
    return [body](const SeenRequest&) {
      ScriptedResponse response;
      response.Body = body;
      return response;
    };
  }

  // VOXA 1.05 packed by mxupack, made once per test.
  const std::string& Package() {
    if (!package_.empty()) return package_;
    const std::string file = temp_.Path() + "voxa105.mxu";
    MakePackage(file, {{"VOXA.exe", ReadWholeFile(build_.Voxa105)}, {"Readme.txt", "new readme"}});
    package_ = ReadWholeFile(file);
    return package_;
  }

  // Puts the updater with time limits of seconds in the program folder.
  void UseQuickUpdater() {
    fs::copy_file(build_.QuickUpdater, program_ + "Updater.exe",
                  fs::copy_options::overwrite_existing);
  }

  // A -dontask run that tries `server` first; its console lines.
  Lines Run(const std::string& server) {
    ProcessResult result = RunProcess(Command({"-dontask", "-server", server}), program_, "", 300);
    EXPECT_EQ(result.ExitCode, 0) << result.Errors
                                  << ReadWholeFile(program_ + "Update/Updater.log");
    return OutputLines(result.Output);
  }

  // The line printed right after `line`, or "(missing)".
  static std::string After(const Lines& lines, const std::string& line) {
    auto found = std::find(lines.begin(), lines.end(), line);
    return found == lines.end() || found + 1 == lines.end() ? "(missing)" : *(found + 1);
  }

  // The requests `server` saw for `path`.
  static std::vector<SeenRequest> RequestsFor(TestServer& server, const std::string& path) {
    std::vector<SeenRequest> seen;
    for (const SeenRequest& request : server.Requests())
      if (request.Target == path) seen.push_back(request);
    return seen;
  }

  // The files left in Update\ other than the log, the lock and the rollout
  // number, which every run keeps there.
  std::vector<std::string> UpdateFolderFiles() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(program_ + "Update")) {
      const std::string name = entry.path().filename();
      if (name != "Updater.log" && name != "Updater.lock" && name != "Rollout.number")
        names.push_back(name);
    }
    return names;
  }

  // The milliseconds of the log record of the GET of `url`, or -1.
  int64_t LoggedMilliseconds(const std::string& url) {
    const std::string log = ReadWholeFile(program_ + "Update/Updater.log");
    size_t record = log.find("GET " + url + ", ");
    if (record == std::string::npos) return -1;
    size_t end = log.find(" ms", record);
    size_t start = log.rfind(' ', end - 1) + 1;
    return std::stoll(log.substr(start, end - start));
  }

  static constexpr char kNewList[] = "http://fresh.invalid/voxa/\r\n";

  std::string oldList_;  // UpdateServer.lst at the start: one server that is down
  std::string package_;
};

constexpr char ServerFaultsTest::kNewList[];

// The most memory the native updater may hold for a catalogue of 16 MiB: the
// body and its text, with the sanitizers' own share.
constexpr long kCataloguePeakKilobytes = 128 * 1024;

// A list cut off: the old list stays byte for byte and no temporary file is
// left. A package cut off every time by a server that cannot resume is asked
// for whole three times more, then leaves no file in Update\.
TEST_P(ServerFaultsTest, CutDownloadsLeaveTheOldFilesAndNoPieces) {
  TestServer server;
  const std::string list(1000, 'x');
  Serve(server, "list",
        {{"UpdateInfo.txt", Whole("ok")},
         {"UpdateServer.lst", [&](const SeenRequest& request) {
            ScriptedResponse response = AnswerWithRanges(request, list, {{"ETag", "\"list-1\""}});
            response.CutAfter = 10;
            return response;
          }}});
  Serve(server, "package", GoodServer([&](const SeenRequest&) {
          ScriptedResponse response;
          response.Body = Package();
          response.CutAfter = static_cast<int64_t>(Package().size() / 2);
          return response;  // no validator: no resume, only new starts
        }));
  Package();
  ASSERT_TRUE(server.Start());

  Lines lines = Run(Base(server, "list"));
  EXPECT_EQ(After(lines, "Downloading server list..."),
            "Error: Error reading data from the opened session.");
  // A list is fetched into memory, which is not resumed.
  EXPECT_EQ(RequestsFor(server, "/list/UpdateServer.lst").size(), 1u);
  EXPECT_EQ(ReadWholeFile(program_ + "UpdateServer.lst"), oldList_);
  EXPECT_FALSE(fs::exists(program_ + "UpdateServer.lst.part"));

  lines = Run(Base(server, "package"));
  EXPECT_EQ(After(lines, "Downloading... : VOXA"),
            "Error: Error reading data from the opened session.");
  std::vector<SeenRequest> seen = RequestsFor(server, "/package/voxa105.mxu");
  ASSERT_EQ(seen.size(), 4u);
  for (const SeenRequest& request : seen) EXPECT_EQ(request.Headers.count("range"), 0u);
  EXPECT_EQ(UpdateFolderFiles(), std::vector<std::string>{});
  EXPECT_EQ(ReadWholeFile(program_ + "VOXA.exe"), ReadWholeFile(build_.Voxa100));
}

// A package cut off at half is completed by one more request: the rest by a
// server that honours Range, the whole package again by one that does not,
// and by one that names no validator (ETag or Last-Modified), with a plain
// request.
TEST_P(ServerFaultsTest, ACutPackageIsResumedAndInstalled) {
  struct {
    const char* Name;
    bool HonoursRange;
    Headers Validator;
    const char* Range;  // of the second request: "" for none, "half" for the rest
    const char* Logged;
  } cases[] = {
      {"Range honoured", true, {{"ETag", "\"package-1\""}}, "half", "Resuming GET "},
      {"Range ignored", false, {{"ETag", "\"package-1\""}}, "half", "Resuming GET "},
      {"no validator", true, {}, "", "Starting GET "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    fs::copy_file(build_.Voxa100, program_ + "VOXA.exe", fs::copy_options::overwrite_existing);
    fs::remove(program_ + "Update/Updater.log");
    TestServer server;
    const Headers& validator = c.Validator;
    std::atomic<int> answered{0};
    Serve(server, "main", GoodServer([&](const SeenRequest& request) {
            ScriptedResponse response = c.HonoursRange
                                            ? AnswerWithRanges(request, Package(), validator)
                                            : AnswerWithRanges(SeenRequest(), Package(), validator);
            if (answered++ == 0) response.CutAfter = static_cast<int64_t>(Package().size() / 2);
            return response;
          }));
    Package();
    ASSERT_TRUE(server.Start());
    Lines lines = Run(Base(server, "main"));

    EXPECT_TRUE(Contains(lines, "Update finished.")) << ::testing::PrintToString(lines);
    EXPECT_EQ(ReadWholeFile(program_ + "VOXA.exe"), ReadWholeFile(build_.Voxa105));
    std::vector<SeenRequest> seen = RequestsFor(server, "/main/voxa105.mxu");
    ASSERT_EQ(seen.size(), 2u);
    if (std::string(c.Range).empty()) {
      EXPECT_EQ(seen[1].Headers.count("range"), 0u);
      EXPECT_EQ(seen[1].Headers.count("if-range"), 0u);
    } else {
      EXPECT_EQ(seen[1].Headers["range"], "bytes=" + std::to_string(Package().size() / 2) + "-");
      EXPECT_EQ(seen[1].Headers["if-range"], "\"package-1\"");
    }
    EXPECT_NE(ReadWholeFile(program_ + "Update/Updater.log").find(c.Logged), std::string::npos);
    EXPECT_EQ(UpdateFolderFiles(), std::vector<std::string>{});
  }
}

// A state file without end is stopped at 16 MiB; the next server is tried.
TEST_P(ServerFaultsTest, AnEndlessStateFileIsAbortedAndTheNextServerTried) {
  TestServer server;
  Serve(server, "endless", {{"UpdateInfo.txt", [](const SeenRequest&) {
                               ScriptedResponse response;
                               response.GeneratedSize = int64_t(1) << 40;
                               response.Chunked = true;
                               return response;
                             }}});
  Serve(server, "good", GoodServer());
  Package();
  ASSERT_TRUE(server.Start());
  const std::string endless = Base(server, "endless");
  const std::string good = Base(server, "good");
  WriteWholeFile(program_ + "UpdateServer.lst", good + "\r\n");

  Lines lines = Run(endless);
  EXPECT_EQ(After(lines, "Connecting to update server... : " + endless),
            "Error: Download aborted.");
  EXPECT_TRUE(Contains(lines, "Connecting to update server... : " + good));
  EXPECT_TRUE(Contains(lines, "Update finished."));
  EXPECT_EQ(ReadWholeFile(program_ + "VOXA.exe"), ReadWholeFile(build_.Voxa105));
  // What was taken of the body: 16 MiB and at most one read more.
  const std::string log = ReadWholeFile(program_ + "Update/Updater.log");
  const std::string record = "GET " + endless + "UpdateInfo.txt, ";
  size_t at = log.find(record);
  ASSERT_NE(at, std::string::npos) << log;
  const int64_t taken = std::stoll(log.substr(at + record.size()));
  EXPECT_GT(taken, 16 << 20);
  EXPECT_LE(taken, (16 << 20) + 65536);
}

// A run killed while the list is being downloaded leaves the old list whole,
// and a piece an older updater left does not stand in the way of the next
// run.
TEST_P(ServerFaultsTest, ARunKilledDuringTheListDownloadKeepsTheOldList) {
  TestServer server;
  Serve(server, "dripping",
        {{"UpdateInfo.txt", Whole("ok")}, {"UpdateServer.lst", [](const SeenRequest&) {
                                             ScriptedResponse response;
                                             response.Body = std::string(5000, 'x');
                                             response.DripMilliseconds = 100;
                                             return response;
                                           }}});
  Serve(server, "good", GoodServer());
  Package();
  ASSERT_TRUE(server.Start());

  const std::string piece = program_ + "UpdateServer.lst.part";
  WriteWholeFile(piece, "left by an older updater");
  {
    TerminalProcess updater(Command({"-dontask", "-server", Base(server, "dripping")}), program_);
    for (int i = 0; i < 600 && RequestsFor(server, "/dripping/UpdateServer.lst").empty(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(RequestsFor(server, "/dripping/UpdateServer.lst").size(), 1u);
    std::this_thread::sleep_for(std::chrono::seconds(1));  // some of the list has come
    updater.Signal(SIGKILL);
    int exitCode = 0;
    ASSERT_TRUE(updater.WaitForExit(30000, &exitCode));
  }
  EXPECT_EQ(ReadWholeFile(program_ + "UpdateServer.lst"), oldList_);

  Lines lines = Run(Base(server, "good"));
  EXPECT_TRUE(Contains(lines, "Update finished.")) << ::testing::PrintToString(lines);
  EXPECT_EQ(ReadWholeFile(program_ + "UpdateServer.lst"), kNewList);
  EXPECT_FALSE(fs::exists(piece));
}

// The updater killed while a package of some MB stands at half: the server
// sends half of it (a multiple of the 64 KiB reads) and holds the connection
// until the process is gone, SIGKILL ending it (under Wine the Windows
// process itself, which cannot clean up). The part and its source stay and
// the installation is as it was. The next run asks only for the rest of that
// body (Range from the part's size, If-Range with its ETag) and installs the
// package; when the server's file changed in between, it gets the new file
// whole and installs that. Either way no part is left, and the server sent
// no byte twice of a file that did not change.
TEST_P(ServerFaultsTest, ARunKilledDuringAPackageDownloadIsResumedByTheNextRun) {
  // The files of a package: VOXA 1.05 and data that does not compress.
  auto packageOf = [&](const std::string& data, const std::string& name) {
    const std::string file = temp_.Path() + name;
    MakePackage(file, {{"VOXA.exe", ReadWholeFile(build_.Voxa105)}, {"Data.bin", data}}, "stored");
    return ReadWholeFile(file);
  };
  const std::string firstData = NoiseBytes((4 << 20) + 4321, 1);
  const std::string newData = NoiseBytes((3 << 20) + 77, 2);
  const std::string first = packageOf(firstData, "first.mxu");
  const std::string changed = packageOf(newData, "changed.mxu");
  const int64_t half = static_cast<int64_t>(first.size() / 2) / 65536 * 65536;
  const struct {
    const char* Name;
    bool Changed;  // the server's file changes between the two runs
  } cases[] = {{"same file", false}, {"file changed", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    fs::remove_all(program_ + "Update");
    fs::create_directories(program_ + "Update");
    fs::remove(program_ + "Data.bin");
    fs::copy_file(build_.Voxa100, program_ + "VOXA.exe", fs::copy_options::overwrite_existing);
    const std::string& second = c.Changed ? changed : first;
    const std::string secondTag = c.Changed ? "\"changed\"" : "\"first\"";
    TestServer server;
    std::atomic<int> answered{0};
    Serve(server, "main", GoodServer([&](const SeenRequest& request) {
            if (answered++ > 0) return AnswerWithRanges(request, second, {{"ETag", secondTag}});
            ScriptedResponse response = AnswerWithRanges(request, first, {{"ETag", "\"first\""}});
            response.StallAfter = half;
            return response;
          }));
    ASSERT_TRUE(server.Start());
    const std::string base = Base(server, "main");
    const std::string part = program_ + "Update/voxa105.mxu.part";
    auto partSize = [&] {
      std::error_code error;
      const uintmax_t size = fs::file_size(part, error);
      return error ? int64_t(-1) : static_cast<int64_t>(size);
    };
    {
      BackgroundProcess updater(Command({"-dontask", "-server", base}), program_);
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
      while (partSize() < half && !updater.Ended() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      ASSERT_FALSE(updater.Ended()) << ReadWholeFile(program_ + "Update/Updater.log");
      ASSERT_EQ(partSize(), half);
      updater.Kill();
    }
    EXPECT_EQ(ProcessesRunning(program_ + "Updater.exe"), std::vector<int>{});

    // What the kill left: the half and where it came from, nothing applied.
    std::vector<std::string> left = UpdateFolderFiles();
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"voxa105.mxu.part", "voxa105.mxu.part.source"}));
    EXPECT_TRUE(ReadWholeFile(part) == first.substr(0, static_cast<size_t>(half)));
    EXPECT_EQ(ReadWholeFile(part + ".source"),
              base + "voxa105.mxu\n" + std::to_string(first.size()) + "\n\"first\"\n");
    EXPECT_EQ(ReadWholeFile(program_ + "VOXA.exe"), ReadWholeFile(build_.Voxa100));
    EXPECT_FALSE(fs::exists(program_ + "Data.bin"));

    Lines lines = Run(base);
    EXPECT_TRUE(Contains(lines, "Update finished.")) << ::testing::PrintToString(lines);
    std::vector<SeenRequest> seen = RequestsFor(server, "/main/voxa105.mxu");
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].Headers.count("range"), 0u);
    EXPECT_EQ(seen[1].Headers["range"], "bytes=" + std::to_string(half) + "-");
    EXPECT_EQ(seen[1].Headers["if-range"], "\"first\"");
    EXPECT_EQ(seen[1].Status, c.Changed ? 200 : 206);
    // The body bytes of both runs: one package when it stayed the same.
    EXPECT_EQ(seen[0].BodyBytesSent + seen[1].BodyBytesSent,
              c.Changed ? half + static_cast<int64_t>(changed.size())
                        : static_cast<int64_t>(first.size()));
    EXPECT_EQ(ReadWholeFile(program_ + "VOXA.exe"), ReadWholeFile(build_.Voxa105));
    EXPECT_TRUE(ReadWholeFile(program_ + "Data.bin") == (c.Changed ? newData : firstData));
    EXPECT_EQ(UpdateFolderFiles(), std::vector<std::string>{});
  }
}

// A server that never answers and one that sends a byte a second each end
// after their limit of 2 s (30 s in the shipped updater), with the lines of
// an unreachable server and of a broken transfer, and the next server is
// tried after each.
TEST_P(ServerFaultsTest, SilentAndDrippingServersEndAfterTheirTimeLimits) {
  UseQuickUpdater();
  TestServer server;
  Serve(server, "silent", {{"UpdateInfo.txt", [](const SeenRequest&) {
                              ScriptedResponse response;
                              response.Silent = true;
                              return response;
                            }}});
  Serve(server, "dripping", {{"UpdateInfo.txt", [](const SeenRequest&) {
                                ScriptedResponse response;
                                response.Body = std::string(1000, 'o');
                                response.DripMilliseconds = 1000;
                                return response;
                              }}});
  ASSERT_TRUE(server.Start());
  const std::string silent = Base(server, "silent");
  const std::string dripping = Base(server, "dripping");
  WriteWholeFile(program_ + "UpdateServer.lst", dripping + "\r\n" + DeadServer() + "\r\n");

  const auto start = std::chrono::steady_clock::now();
  Lines lines = Run(silent);
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
          .count();
  EXPECT_EQ(After(lines, "Connecting to update server... : " + silent),
            "Error: Error sending the HTTP request to the server.");
  EXPECT_EQ(After(lines, "Connecting to update server... : " + dripping),
            "Error: Error reading data from the opened session.");
  EXPECT_TRUE(Contains(lines, "Tried all servers of the update server list."));
  for (const std::string& url : {silent, dripping}) {
    SCOPED_TRACE(url);
    const int64_t waited = LoggedMilliseconds(url + "UpdateInfo.txt");
    EXPECT_GE(waited, 1900);
    EXPECT_LT(waited, 10000);
  }
  EXPECT_LT(seconds, 60);
}

// Answers that are no server list leave the list on disk byte for byte: the
// log says why, and the check goes on to the catalogue as after a saved list.
TEST_P(ServerFaultsTest, WhatIsNoServerListKeepsTheListOnDisk) {
  auto lines = [](size_t count) {
    std::string list;
    for (size_t i = 0; i < count; ++i) list += "http://dead" + std::to_string(i) + ".invalid/\r\n";
    return list;
  };
  std::string huge = lines(800000);
  huge.resize((16 << 20) - 2);
  huge += "\r\n";
  const struct {
    const char* Folder;
    std::string List;
  } cases[] = {
      {"empty", ""},
      {"html", "<!DOCTYPE html>\r\n<html><body><h1>404 Not Found</h1></body></html>\r\n"},
      {"long", lines(257)},
      {"huge", huge},
  };
  TestServer server;
  for (const auto& c : cases) {
    Serve(server, c.Folder,
          {{"UpdateInfo.txt", Whole("ok")},
           {"UpdateServer.lst", Whole(c.List)},
           {"VersionInfo.txt", Whole("VOXA voxa100.mxu 100\r\n")}});
  }
  ASSERT_TRUE(server.Start());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Folder);
    Lines lines = Run(Base(server, c.Folder));
    EXPECT_EQ(After(lines, "Downloading server list..."), "Checking for new versions...");
    EXPECT_TRUE(Contains(lines, "0 updates available.")) << ::testing::PrintToString(lines);
    EXPECT_EQ(ReadWholeFile(program_ + "UpdateServer.lst"), oldList_);
    EXPECT_FALSE(fs::exists(program_ + "UpdateServer.lst.part"));
  }
  const std::string log = ReadWholeFile(program_ + "Update/Updater.log");
  size_t refusals = 0;
  for (size_t at = 0; (at = log.find("UpdateServer.lst is not taken", at)) != std::string::npos;
       ++at)
    ++refusals;
  EXPECT_EQ(refusals, std::size(cases));
}

// A catalogue of 16 MiB of empty lines ends like a catalogue without entries,
// and the memory it takes stays bounded: only the lines the check uses are
// kept.
TEST_P(ServerFaultsTest, ACatalogueOfMillionsOfEmptyLinesIsReadInBoundedMemory) {
  TestServer server;
  std::string empty;
  for (int i = 0; i < (8 << 20); ++i) empty += "\r\n";
  Serve(server, "big",
        {{"UpdateInfo.txt", Whole("ok")},
         {"UpdateServer.lst", Whole(kNewList)},
         {"VersionInfo.txt", Whole(empty)}});
  Serve(server, "small",
        {{"UpdateInfo.txt", Whole("ok")},
         {"UpdateServer.lst", Whole(kNewList)},
         {"VersionInfo.txt", Whole("\r\n")}});
  ASSERT_TRUE(server.Start());
  // The sanitizer's quarantine would keep every freed block.
  const char* sanitizer = std::getenv("ASAN_OPTIONS");
  const std::string kept = sanitizer != nullptr ? sanitizer : "";
  setenv("ASAN_OPTIONS", "quarantine_size_mb=0:thread_local_quarantine_size_kb=0", 1);
  const std::string big = Base(server, "big");
  // The native program's own peak; under Wine the peak would be Wine's.
  ProcessResult result =
      build_.Windows ? RunProcess(Command({"-dontask", "-server", big}), program_, "", 300)
                     : RunMeasuredProcess(Command({"-dontask", "-server", big}), program_, 300);
  const std::string small = Base(server, "small");
  ProcessResult expected = RunProcess(Command({"-dontask", "-server", small}), program_, "", 300);
  if (sanitizer != nullptr) {
    setenv("ASAN_OPTIONS", kept.c_str(), 1);
  } else {
    unsetenv("ASAN_OPTIONS");
  }
  ASSERT_EQ(result.ExitCode, 0) << result.Errors;
  Lines lines = OutputLines(result.Output);
  Lines expectedLines = OutputLines(expected.Output);
  for (std::string& line : expectedLines)
    if (line.find(small) != std::string::npos) line.replace(line.find(small), small.size(), big);
  EXPECT_EQ(lines, expectedLines);
  EXPECT_TRUE(Contains(lines, "0 updates available.")) << ::testing::PrintToString(lines);
  if (!build_.Windows) {
    // 783 MB before (1 GB with the sanitizers); now the body and its text.
    EXPECT_LT(result.PeakKilobytes, kCataloguePeakKilobytes) << result.PeakKilobytes << " KiB";
  }
}

// A server that ignores If-Range and answers a resume with 206 from a newer
// file of the same length: its bytes are not spliced onto the older file's;
// the download starts over and ends as the server's current file.
TEST_P(ServerFaultsTest, A206FromAnotherFileIsNotSpliced) {
  const std::string& first = Package();
  std::string current = first;  // the newer file, of the same length
  for (size_t i = current.size() / 2; i < current.size(); i += 97) current[i] = char(~current[i]);
  TestServer server;
  std::atomic<int> answered{0};
  Serve(server, "main", GoodServer([&](const SeenRequest& request) {
          ScriptedResponse response;
          if (answered++ == 0) {
            response = AnswerWithRanges(request, first, {{"ETag", "\"first\""}});
            response.CutAfter = static_cast<int64_t>(first.size() / 2);
            return response;
          }
          response = AnswerWithRanges(request, current, {{"ETag", "\"current\""}});
          auto range = request.Headers.find("range");
          if (range != request.Headers.end()) {  // If-Range ignored
            const size_t from = std::stoull(range->second.substr(6));
            response.Status = 206;
            response.Body = current.substr(from);
            response.Headers.push_back({"Content-Range", "bytes " + std::to_string(from) + "-" +
                                                             std::to_string(current.size() - 1) +
                                                             "/" + std::to_string(current.size())});
          }
          return response;
        }));
  ASSERT_TRUE(server.Start());
  ProcessResult result = RunProcess(
      Command({"-dontask", "-onlydownload", "-server", Base(server, "main")}), program_, "", 300);
  EXPECT_EQ(result.ExitCode, 0) << result.Errors;
  EXPECT_TRUE(ReadWholeFile(program_ + "Update/voxa105.mxu") == current);
  std::vector<SeenRequest> seen = RequestsFor(server, "/main/voxa105.mxu");
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[1].Headers["if-range"], "\"first\"");
  EXPECT_EQ(seen[2].Headers.count("range"), 0u);
}

// The average rate, with windows of 2 s: 1,100 bytes every 1.5 s keep every
// window fed, but after the first window the body is below 1 KiB a second on
// average; the wait for the next piece ends there, and the next server is
// tried.
TEST_P(ServerFaultsTest, ADripThatFeedsEveryWindowIsGivenUpAfterTheFirstWindow) {
  UseQuickUpdater();
  TestServer server;
  Serve(server, "drip", {{"UpdateInfo.txt", [](const SeenRequest&) {
                            ScriptedResponse response;
                            response.GeneratedSize = 100000;
                            response.DripBytes = 1100;
                            response.DripMilliseconds = 1500;
                            return response;
                          }}});
  Serve(server, "good", GoodServer());
  Package();
  ASSERT_TRUE(server.Start());
  const std::string drip = Base(server, "drip");
  WriteWholeFile(program_ + "UpdateServer.lst", Base(server, "good") + "\r\n");

  const auto start = std::chrono::steady_clock::now();
  Lines lines = Run(drip);
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
          .count();
  EXPECT_EQ(After(lines, "Connecting to update server... : " + drip),
            "Error: Error reading data from the opened session.");
  EXPECT_TRUE(Contains(lines, "Update finished.")) << ::testing::PrintToString(lines);
  const int64_t waited = LoggedMilliseconds(drip + "UpdateInfo.txt");
  EXPECT_GE(waited, 1900);
  EXPECT_LT(waited, 3000);  // before the second piece
  EXPECT_NE(ReadWholeFile(program_ + "Update/Updater.log").find("bytes a second on average"),
            std::string::npos);
  EXPECT_LT(seconds, 60);
}

INSTANTIATE_TEST_SUITE_P(Builds, ServerFaultsTest, ::testing::Values(&PosixBuild, &WindowsBuild),
                         [](const ::testing::TestParamInfo<Build (*)()>& info) {
                           return info.param().Name;
                         });

}  // namespace
}  // namespace updater::testing
