// Ending other copies from the real program, launched in a PID namespace of
// its own with the processes each case starts: a cut path, other users'
// copies, a copy seen only after a newer one looked, replaced programs and
// long paths.
#include "other_copies_fixture.h"

namespace {

using namespace other_copies_testing;

TEST_F(OtherCopiesInNamespace, AProgramWhosePathWasCutEndsNothing) {
  // The path is cut to 259 characters right after "zqxvictim": the cut name
  // is what a process named editor-zqxvictim ends with (and contains).
  std::string folder = NewFolder();
  while (folder.size() < 249) {
    folder += "/" + std::string(std::min<size_t>(100, 249 - folder.size() - 1), 'd');
    std::filesystem::create_directory(folder);
  }
  ASSERT_EQ(folder.size() + 1 + 9, 259u);
  std::string program = folder + "/zqxvictim" + base_;
  ts::CopyFileBytes(ts::BinaryPath(), program);
  std::filesystem::permissions(program, std::filesystem::perms::owner_all);
  std::string victim = PlaceCopy("/bin/sleep", "editor-zqxvictim");
  ts::ResetLog(home_.path());
  std::string said = InNamespace(
      "\"$1\" 30 & victim=$!\n"
      // Until the victim runs as itself (its exec done), however busy the machine.
      "for i in $(seq 600); do [ \"$(readlink /proc/$victim/exe)\" = \"$1\" ] && break; sleep 0.1; done\n"
      "\"$2\" registerx\n"
      "grep -q '^State:.*S' /proc/$victim/status && echo victim-alive\n"
      "kill $victim\n"
      "wait\n",
      {victim, program});
  EXPECT_NE(said.find("victim-alive"), std::string::npos) << said;
  std::vector<std::string> log = LaunchLog();
  EXPECT_NE(std::find(log.begin(), log.end(),
                      "WARNING: TerminateOtherInstance - the program's path is longer than 259 characters, "
                      "no other copy is ended"),
            log.end());
}

TEST_F(OtherCopiesInNamespace, ARootLaunchEndsRootsCopyButNotAnotherUsersThatItCouldRead) {
  // The other user's copy runs from a home of its own that it may write.
  std::string otherHome = NewFolder();
  std::filesystem::permissions(otherHome, std::filesystem::perms::all);
  ts::WriteFileBytes(otherHome + "/long.txt", ts::ReadFileBytes(script_));
  std::string theirs = PlaceCopy(ts::BinaryPath(), base_);
  std::string ours = PlaceCopy(ts::BinaryPath(), base_);
  std::string launch = PlaceCopy(ts::BinaryPath(), base_);
  std::string said = InNamespace(
      "env HOME=\"$1\" XDG_STATE_HOME=\"$1/state\" XDG_RUNTIME_DIR=\"$1\" \\\n"
      "  setpriv --reuid=65534 --regid=65534 --clear-groups \"$2\" /NOSERVER \"$1/long.txt\" >/dev/null & theirs=$!\n"
      "\"$3\" /NOSERVER \"$5\" >/dev/null & ours=$!\n"
      // Until both run as the program (their execs done), however busy the machine.
      "for i in $(seq 600); do [ \"$(readlink /proc/$theirs/exe)\" = \"$2\" ] &&\n"
      "  [ \"$(readlink /proc/$ours/exe)\" = \"$3\" ] && break; sleep 0.1; done\n"
      "\"$4\" registerx >/dev/null\n"
      // A child that ended is a zombie until the shell waits for it: only a
      // sleeping process counts as running.
      "grep -q '^State:.*S' /proc/$theirs/status && echo theirs-alive\n"
      "grep -q '^State:.*S' /proc/$ours/status 2>/dev/null || echo ours-ended\n"
      "kill $theirs $ours 2>/dev/null\n"
      "wait\n",
      {otherHome, theirs, ours, launch, script_});
  EXPECT_NE(said.find("theirs-alive"), std::string::npos) << said;
  EXPECT_NE(said.find("ours-ended"), std::string::npos) << said;
}

// A copy shows as the program only once its exec has gone through, while its
// start time is its fork's: an older click can become visible after a newer
// copy looked. Here the older one is held between fork and exec until the
// newer one runs; it must then end itself, not run beside the newer one.
TEST_F(OtherCopiesInNamespace, AnOlderCopySeenOnlyAfterANewerLookedEndsItself) {
  std::string newer = PlaceCopy(ts::BinaryPath(), base_);
  std::string gate = home_.File("gate");
  ts::ResetLog(home_.path());
  std::string said = InNamespace(
      "mkfifo \"$1\"\n"
      "( read go < \"$1\"; exec \"$2\" end \"$3\" \"$4\" ) & older=$!\n"
      "\"$5\" /NOSERVER \"$6\" >/dev/null & newer=$!\n"
      "n=0; until [ \"$(readlink /proc/$newer/exe)\" = \"$5\" ] || [ $n -ge 600 ]; do sleep 0.05; n=$((n+1)); done\n"
      "echo go > \"$1\"\n"
      "wait $older; echo older-ended-$?\n"
      "grep -q '^State:.*S' /proc/$newer/status && echo newer-alive\n"
      "echo newer=$newer; echo older=$older\n"
      "kill $newer; wait\n",
      {gate, ProbePath(), OwnPath(), home_.File("search.log"), newer, script_});
  EXPECT_NE(said.find("older-ended-137"), std::string::npos) << said;
  EXPECT_NE(said.find("newer-alive"), std::string::npos) << said;
  size_t at = said.find("newer=");
  ASSERT_NE(at, std::string::npos) << said;
  std::string id = said.substr(at + 6, said.find('\n', at) - at - 6);
  at = said.find("older=");
  ASSERT_NE(at, std::string::npos) << said;
  std::string older = said.substr(at + 6, said.find('\n', at) - at - 6);
  std::vector<std::string> log = SearchLog();
  EXPECT_NE(std::find(log.begin(), log.end(),
                      "TerminateOtherInstance - the newer copy with process id " + id + " runs, this copy with process id " +
                          older + " ends"),
            log.end()) << said;
}

// A copy stays a copy when a package replaced or removed its file (its
// executable reads "... (deleted)" then) or when its path is longer than 259
// characters; a program under a folder whose path, cut at 259 characters,
// would end like ours is none.
TEST_F(OtherCopiesInNamespace, CopiesAreToldByWholeNamesAcrossUpgradesAndLongPaths) {
  // Long enough that a copy of ours in it has a path of 268 characters.
  const size_t longSize = 268 - 1 - base_.size() - 5;
  std::string longFolder = NewFolder();
  while (longFolder.size() < longSize) {
    longFolder += "/" + std::string(std::min<size_t>(100, longSize - longFolder.size() - 1), 'd');
    std::filesystem::create_directory(longFolder);
  }
  // The first 259 characters of these end in "/<our name>".
  std::string decoyFolder = longFolder.substr(0, 258 - base_.size()) + "/" + base_;
  ASSERT_EQ(decoyFolder.size(), 259u);
  std::filesystem::create_directories(decoyFolder.substr(0, decoyFolder.rfind('/')));
  std::filesystem::create_directory(decoyFolder);
  std::filesystem::create_directory(decoyFolder + "-helper");
  std::string decoy = decoyFolder + "/sleep", helper = decoyFolder + "-helper/sleep";
  ts::CopyFileBytes("/bin/sleep", decoy);
  ts::CopyFileBytes("/bin/sleep", helper);
  // A real copy whose path runs to 268 characters.
  std::string deep = longFolder + "/" + std::string(268 - longFolder.size() - 1 - base_.size(), 'e') + base_;
  ASSERT_EQ(deep.size(), 268u);
  ts::CopyFileBytes(ts::BinaryPath(), deep);
  for (const std::string& program : {decoy, helper, deep}) {
    std::filesystem::permissions(program, std::filesystem::perms::owner_all);
  }
  std::string replaced = PlaceCopy(ts::BinaryPath(), base_);
  std::string removed = PlaceCopy(ts::BinaryPath(), base_);
  std::string launch = PlaceCopy(ts::BinaryPath(), base_);
  std::string said = InNamespace(
      "\"$1\" 30 & decoy=$!\n"
      "\"$2\" 30 & helper=$!\n"
      "for p in \"$3\" \"$4\" \"$5\"; do\n"
      "  \"$p\" /NOSERVER \"$7\" >/dev/null & copies=\"$copies $!\"\n"
      // Until each copy runs as the program (bounded).
      "  n=0; until [ \"$(readlink /proc/$!/exe)\" = \"$p\" ] || [ $n -ge 600 ]; do sleep 0.05; n=$((n+1)); done\n"
      "done\n"
      // As a package puts a new program in place: renamed over the old file.
      "cp \"$4\" \"$4.new\" && mv \"$4.new\" \"$4\"\n"
      "rm \"$5\"\n"
      "\"$6\" registerx >/dev/null\n"
      "for pid in $decoy $helper; do grep -q '^State:.*S' /proc/$pid/status && echo decoy-alive; done\n"
      "for pid in $copies; do grep -q '^State:.*S' /proc/$pid/status && echo copy-alive; done\n"
      "kill $decoy $helper $copies 2>/dev/null\n"
      "wait\n",
      {decoy, helper, deep, replaced, removed, launch, script_});
  size_t decoys = 0, copies = 0;
  for (size_t at = said.find("decoy-alive"); at != std::string::npos; at = said.find("decoy-alive", at + 1)) ++decoys;
  for (size_t at = said.find("copy-alive"); at != std::string::npos; at = said.find("copy-alive", at + 1)) ++copies;
  EXPECT_EQ(decoys, 2u) << said;
  EXPECT_EQ(copies, 0u) << said;
  size_t ended = 0;
  for (const auto& line : LaunchLog()) {
    ended += line.rfind("TerminateOtherInstance - ended the older copy with process id ", 0) == 0;
  }
  EXPECT_EQ(ended, 3u);
}
}  // namespace
