// The command lines of the real program outside the /NOSERVER road.
#include "app/usage.h"
#include "platform/spawn.h"
#include "url_road_fixture.h"

namespace {

class RunMainTest : public UrlRoadTest {
 protected:
  // Every command line here that isn't a registration word searches for
  // copies to end: none of them needs to see another process.
  RunMainTest() { sealed_ = true; }

  // Runs the command line and expects the scheme test to refuse it.
  void ExpectInvalidUrl(const std::vector<std::string>& args) {
    testing_support::ResetLog(home_.path());
    auto run = Launch(args);
    ASSERT_TRUE(run.ended) << run.output;
    EXPECT_EQ(255, run.exitCode & 0xFF);
    EXPECT_NE(std::string::npos, run.output.find("Invalid URL passed. Can not start operation."));
    EXPECT_TRUE(Logged("ERROR: Invalid URL passed. Cannot start operation, returning -1"));
    EXPECT_TRUE(EndedWith(-1));
  }
  // A URL as the test server records it (blanks escaped).
  static std::string ServerUrl(const std::string& url) {
    std::string out;
    for (char ch : url) out += ch == ' ' ? std::string("%20") : std::string(1, ch);
    return out;
  }
  std::string ScriptRequested() {
    auto requests = server_->Requests();
    return requests.empty() ? std::string() : requests[0].url;
  }
};

TEST_F(RunMainTest, NearMissesOfTheRegistrationWordsTakeTheUrlRoad) {
  ExpectInvalidUrl({"Register"});
  ExpectInvalidUrl({"REGISTER"});
  ExpectInvalidUrl({"register", ""});  // "register " with its trailing blank
  ExpectInvalidUrl({"registerx"});
  ExpectInvalidUrl({"Unregister"});
  // Near misses of the other words a person types are URLs too.
  ExpectInvalidUrl({"--Help"});
  ExpectInvalidUrl({"-help"});
  ExpectInvalidUrl({"/?", ""});  // "/? " with its trailing blank
  ExpectInvalidUrl({"--version", "x"});
  // The scheme in any letter case, with one slash: a link all the same,
  // refused as malformed, never the local road, whatever it holds.
  ExpectInvalidUrl({"KELVO:/updates.kelvo.com/s.txt"});
  ExpectInvalidUrl({"KeLvO:/updates.kelvo.com/x/NOSERVER /tmp/s.txt"});
  EXPECT_FALSE(Logged("\tCalled with \"No Server\" command line option."));
}

// A page can make the browser save a script named noserver.txt and link to
// it with the scheme name but no slashes, and a launcher may put white space,
// a byte-order mark or quotes before the scheme name or escape its colon: the
// local road would drop the first nine characters ("kelvo:AAA", " kelvo:AA")
// and run the rest as a script path. Only a line that begins with the switch
// takes that road, and never one that holds the scheme name: every such line
// is refused as a malformed URL, and the script never runs.
TEST_F(RunMainTest, TheSchemeNameWithoutSlashesNeverRunsADownloadedScript) {
  std::string marker = programDir_.File("secret.bin");
  testing_support::WriteFileBytes(marker, "SECRET");
  std::string script = "getlocal " + marker + "\r\nwait 1\r\n";
  // As a browser writes them: forward slashes on both builds.
  auto slashed = [](std::string path) {
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
  };
  std::string absolute = slashed(home_.File("noserver.txt"));
  testing_support::WriteFileBytes(home_.File("noserver.txt"), script);
  // A download folder relative to where the program starts.
  std::ostringstream folder;
  folder << "kelvo-e2e-dl-" << std::hex << std::random_device()();
  std::filesystem::create_directories(folder.str() + "/kelvo%3A");
  struct Removed {
    std::string path;
    ~Removed() { testing_support::RemoveTree(path); }
  } removed{folder.str()};
  std::string relative = folder.str() + "/noserver.txt";
  testing_support::WriteFileBytes(relative, script);
  testing_support::WriteFileBytes(folder.str() + "/kelvo%3A/noserver.txt", script);

  std::vector<std::string> commandLines = {
      "kelvo:AAA" + relative,
      "KeLvO:AAA" + absolute,
      "\"kelvo:AAA" + absolute + "\"",
      "\"KELVO:aaa" + relative + "\"",
      // The switch first, but the scheme name in the line.
      "/NOSERVER " + folder.str() + "/kelvo%3A/noserver.txt",
      "/noserver " + relative + " kelvo:",
      // No scheme name, but the switch not first: nothing a person types.
      "AAAAAAAAA" + relative,
      "\"AAAAAAAA" + absolute,
      "x/NOSERVER " + relative,
  };
  // Whatever a launcher may leave before the scheme name: white space of
  // every kind, no-break spaces (UTF-8 and single-byte), a byte-order mark,
  // quotes, a character of the page's own.
  const std::string leads[] = {"",  " ",  "\t", "\r", "\n", "\v", "\f", " \t\n",
                               "\xc2\xa0", "\xa0", "\xef\xbb\xbf", "\"", "'", "x"};
  // The scheme name as it may be handed on: any letter case, the colon
  // percent-encoded once or twice.
  const std::string schemes[] = {"kelvo:", "KeLvO:", "kelvo%3a", "KELVO%3A", "kelvo%253A"};
  for (const std::string& lead : leads) {
    for (const std::string& scheme : schemes) {
      // Padded to the nine characters the local road drops.
      std::string head = lead + scheme;
      if (head.size() < 9) head += std::string(9 - head.size(), 'A');
      commandLines.push_back(head + relative);
      // Inside the quotes, where the Windows start-up leaves white space alone.
      commandLines.push_back("\"" + head + relative + "\"");
    }
  }
  for (const std::string& commandLine : commandLines) {
    SCOPED_TRACE(commandLine);
    ExpectInvalidUrl({commandLine});
    EXPECT_FALSE(Logged("\tCalled with \"No Server\" command line option."));
    for (const std::string& line : Log()) EXPECT_NE(0u, line.rfind("Run: [", 0)) << line;
  }
}

// A person asking for help or the version at a prompt, perhaps while a copy
// is in the middle of an update: the answer on standard output, the exit
// code of a command line that can't be used, a line in the log, and the
// running copy left alone. A near miss is a URL, and ends it.
TEST_F(RunMainTest, HelpAndVersionAnswerAndEndNothing) {
  // The running copy and these launches must see each other (on Linux the
  // test has a PID namespace of its own).
  sealed_ = false;
  std::string longScript = programDir_.File("long.txt");
  testing_support::WriteFileBytes(longScript, "wait 32767\r\nwait 32767\r\nwait 32767\r\nwait 32767\r\n");
  plat::SpawnOptions options;
  options.args = {"/NOSERVER", longScript};
  options.env = testing_support::IsolatedEnv(home_.path());
  options.captureOutput = false;
  plat::SpawnedProcess* running = plat::StartProcess(program_, options);
  ASSERT_NE(nullptr, running);
  struct Released {
    plat::SpawnedProcess* process;
    ~Released() { plat::ReleaseProcess(process); }
  } released{running};
  for (int i = 0; i < 1200 && !Logged("Run: [wait 32767]"); ++i) {
    int code = 0;
    ASSERT_FALSE(plat::WaitProcess(running, 100, &code)) << "the running copy ended with " << code;
  }
  ASSERT_TRUE(Logged("Run: [wait 32767]"));

  struct Case {
    std::string commandLine;
    std::string output;
    std::string logLine;
  };
  std::string usage = UsageText();
  const Case cases[] = {
      {"--help", usage, "Usage text requested with [--help], return -1"},
      {"-h", usage, "Usage text requested with [-h], return -1"},
      {"/?", usage, "Usage text requested with [/?], return -1"},
      {"help", usage, "Usage text requested with [help], return -1"},
      {"--version", "KelvoUpgrader 1.1.18710\n", "Version requested with [--version], return -1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.commandLine);
    auto run = Launch(c.commandLine);
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(255, run.exitCode & 0xFF);
    std::string output = run.output;
    output.erase(std::remove(output.begin(), output.end(), '\r'), output.end());
    EXPECT_EQ(c.output, output);
    EXPECT_TRUE(Logged(c.logLine));
    EXPECT_FALSE(Logged("ERROR: Invalid URL passed. Cannot start operation, returning -1"));
    int code = 0;
    EXPECT_FALSE(plat::WaitProcess(running, 0, &code)) << "ended with " << code;
  }
  auto log = Log();
  EXPECT_EQ(5, std::count_if(log.begin(), log.end(), [](const std::string& line) {
              return line == "************ Kelvo Upgrader Ended - ret code = -1 *****************";
            }));
  // The usage names every form, the switch as a person types it included.
  EXPECT_NE(std::string::npos, usage.find(" register | unregister\n"));
  EXPECT_NE(std::string::npos, usage.find(" /NOSERVER script\n"));

  ExpectInvalidUrl({"--HELP"});
  int code = 0;
  EXPECT_TRUE(plat::WaitProcess(running, 60000, &code));
}

TEST_F(RunMainTest, RegisterThenUnregister) {
  auto first = Launch("register");
  ASSERT_TRUE(first.ended);
  EXPECT_EQ(0, first.exitCode);
  EXPECT_NE(std::string::npos, first.output.find("Register succeeded."));
  EXPECT_TRUE(Logged("Registration succeeded"));
  EXPECT_TRUE(EndedWith(0));

  testing_support::ResetLog(home_.path());
  auto second = Launch("unregister");
  EXPECT_EQ(0, second.exitCode);
  EXPECT_NE(std::string::npos, second.output.find("Unregister succeeded."));
  EXPECT_TRUE(Logged("Unregistration succeeded"));

  // Nothing left to remove: a failure, still exit code 0.
  testing_support::ResetLog(home_.path());
  auto third = Launch("unregister");
  EXPECT_EQ(0, third.exitCode);
  EXPECT_NE(std::string::npos, third.output.find("ERROR - Unregister failed."));
  EXPECT_TRUE(Logged("ERROR: Unregistration failed"));
  EXPECT_TRUE(EndedWith(0));
}

// Moves the program into a folder that makes its full path exactly length characters.
void MoveProgramToPathOfLength(std::string* program, const std::string& base, size_t length) {
  std::string name = plat::FileNameOf(*program);
  std::string folder = base;
  // Folders of at most 100 characters, then one that makes the length come out exactly.
  while (folder.size() + 1 + name.size() < length) {
    size_t room = length - folder.size() - 1 - name.size();
    size_t part = room > 101 ? 100 : room - 1;
    if (room <= 1) break;
    folder += plat::kPathSeparator + std::string(part, 'd');
  }
  ASSERT_EQ(length, folder.size() + 1 + name.size());
  plat::CreateFolderTree(folder.c_str());
  std::string moved = folder + plat::kPathSeparator + name;
  testing_support::CopyFileBytes(*program, moved);
  *program = moved;
}

TEST_F(RunMainTest, RegisterFromAPathOf259CharactersRegistersNothing) {
  MoveProgramToPathOfLength(&program_, programDir_.path(), 259);
  auto run = Launch("register");
  ASSERT_TRUE(run.ended);
  EXPECT_EQ(0, run.exitCode);
  EXPECT_NE(std::string::npos, run.output.find("Application path is too long, please move to a shorter path."));
  EXPECT_TRUE(Logged("ERROR - Application path is too long, please move to a shorter path"));
  EXPECT_TRUE(EndedWith(0));
}

TEST_F(RunMainTest, RegisterFromAPathOf258CharactersRefusesACutCommand) {
  // The command text would be 265 characters: it is never stored cut.
  MoveProgramToPathOfLength(&program_, programDir_.path(), 258);
  auto run = Launch("register");
  ASSERT_TRUE(run.ended);
  EXPECT_EQ(0, run.exitCode);
  EXPECT_NE(std::string::npos, run.output.find("ERROR - Register failed."));
  EXPECT_TRUE(Logged("ERROR: Registration failed."));
}

TEST_F(RunMainTest, RegisterFailureIsReportedWithExitCodeZero) {
  if (OnWindows()) GTEST_SKIP() << "the Windows registry of the test prefix can't be made to refuse";
  // The registry store's folder can't be made where a file stands.
  testing_support::WriteFileBytes(home_.File("config"), "not a folder");
  auto run = Launch("register");
  ASSERT_TRUE(run.ended);
  EXPECT_EQ(0, run.exitCode);
  EXPECT_NE(std::string::npos, run.output.find("ERROR - Register failed."));
  EXPECT_TRUE(Logged("ERROR: Registration failed."));
}

TEST_F(RunMainTest, ReplyToMarkersInAnyCaseAndTheFirstOneWins) {
  struct Case {
    std::string commandLine;
    std::string scriptUrl;
    std::string replyTo;  // empty: none
    bool questionMarkFound;
  };
  const Case cases[] = {
      {"kelvo://updates.kelvo.com/s.txt?reply-to=http://updates.kelvo.com/r",
       "http://updates.kelvo.com/s.txt", "http://updates.kelvo.com/r", true},
      {"kelvo://updates.kelvo.com/s.txt?a=1&REPLY-to=http://updates.kelvo.com/r",
       "http://updates.kelvo.com/s.txt?a=1", "http://updates.kelvo.com/r", false},
      // "?Reply-To=" is looked for through the whole text before "&Reply-To=".
      {"kelvo://updates.kelvo.com/s.txt?x=1&Reply-To=http://updates.kelvo.com/a?Reply-To=b&c=d",
       "http://updates.kelvo.com/s.txt?x=1&Reply-To=http://updates.kelvo.com/a", "b&c=d", true},
      {"kelvo://updates.kelvo.com/s.txt?Reply-To=abcd", "http://updates.kelvo.com/s.txt", "", true},
      {"kelvo://updates.kelvo.com/s.txt?Reply-To=abcde", "http://updates.kelvo.com/s.txt", "abcde", true},
      {"kelvo://updates.kelvo.com/s.txt", "http://updates.kelvo.com/s.txt", "", false},
      // A page's link naming a file it made the browser save: still a URL.
      {"kelvo://updates.kelvo.com/home/u/Downloads/noserver.txt",
       "http://updates.kelvo.com/home/u/Downloads/noserver.txt", "", false},
      {"\"kelvo://updates.kelvo.com/s.txt?Reply-To=http://updates.kelvo.com/r/NOSERVER /tmp/s.txt\"",
       "http://updates.kelvo.com/s.txt", "http://updates.kelvo.com/r/NOSERVER /tmp/s.txt", true},
      // Stored with its trailing blanks; posted, as WinINet does, without them.
      {"kelvo://updates.kelvo.com/s.txt?Reply-To=http://updates.kelvo.com/r2   ",
       "http://updates.kelvo.com/s.txt", "http://updates.kelvo.com/r2   ", true},
      // The scheme in any letter case, as gio and wine's shell hand it on.
      {"KELVO://updates.kelvo.com/s.txt?Reply-To=http://updates.kelvo.com/r",
       "http://updates.kelvo.com/s.txt", "http://updates.kelvo.com/r", true},
      {"\"KeLvO://updates.kelvo.com/x/NOSERVER/s.txt\"", "http://updates.kelvo.com/x/NOSERVER/s.txt", "",
       false},
      // As a browser passes it on Windows: the URL in double quotes.
      {"\"kelvo://updates.kelvo.com/q.txt?Reply-To=http://updates.kelvo.com/r\"",
       "http://updates.kelvo.com/q.txt", "http://updates.kelvo.com/r", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.commandLine);
    server_->Reset();
    testing_support::ResetLog(home_.path());
    auto run = Launch(c.commandLine);
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(0, run.exitCode);
    EXPECT_EQ(c.scriptUrl, ScriptRequested());
    EXPECT_TRUE(Logged("Script file HTTP URL = [" + c.scriptUrl + "]"));
    EXPECT_EQ(!c.questionMarkFound,
              Logged("\"?Reply-To=\" not found. Looking for \"&Reply-To=\" in the command line"));
    EXPECT_FALSE(Logged("\tCalled with \"No Server\" command line option."));
    if (c.replyTo.empty()) {
      EXPECT_FALSE(Logged("RunMain Reply Url [" + c.replyTo + "]"));
    } else {
      EXPECT_TRUE(Logged("RunMain Reply Url [" + c.replyTo + "]"));
    }
    // The script is missing (404): an allowed Reply-To receives the report.
    if (c.replyTo.rfind("http://updates.kelvo.com/", 0) == 0) {
      std::string posted;
      for (const auto& r : server_->Requests()) {
        if (r.method == "POST") posted = r.url;
      }
      std::string trimmed = c.replyTo.substr(0, c.replyTo.find_last_not_of(' ') + 1);
      EXPECT_EQ(ServerUrl(trimmed), posted);
    }
    EXPECT_EQ(c.commandLine.find("abcd") != std::string::npos &&
                  c.commandLine.find("abcde") == std::string::npos,
              Logged("ERROR - Reply-To is too short, hence ignoring it"));
    EXPECT_TRUE(EndedWith(0));
  }
}

TEST_F(RunMainTest, SchemeAloneBecomesAnEmptyHttpUrl) {
  auto run = Launch("kelvo://");
  ASSERT_TRUE(run.ended);
  EXPECT_EQ(0, run.exitCode);
  EXPECT_TRUE(Logged("Script file HTTP URL = [http://]"));
  EXPECT_TRUE(Logged("ERROR - Failed to download script file. Error=400"));
  EXPECT_EQ(0u, server_->Requests().size());
}

TEST_F(RunMainTest, EmptyCommandLine) {
  auto run = Launch(std::vector<std::string>{});
  ASSERT_TRUE(run.ended);
  EXPECT_EQ(255, run.exitCode & 0xFF);
  EXPECT_NE(std::string::npos, run.output.find("No URL passed. Can not start operation."));
  EXPECT_TRUE(EndedWith(-1));
}

}  // namespace
