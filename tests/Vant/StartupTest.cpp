#include "Vant/Ferrow/Startup.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "support/ChildProcess.h"

using namespace testsupport;
using namespace std::chrono_literals;
using Vant::Ferrow::CommandLine;

namespace {
const char* const Usage =
    "Usage :\n"
    "\t-k    Peer's private key in hexadecimal (required).\n"
    "\t-p    Port to start a P2P server as.\n";
// A known key pair (the public key is the Curve25519 base-point product of the private one).
const std::string PrivateKey = "77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a";
const std::string PublicKey = "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a";
const std::string PublicKeyPrefix = "PUBLIC\xC2\xA0KEY\xC2\xA0= ";

CommandLine parse(std::vector<const char*> args) {
    args.insert(args.begin(), "tolvane-ferrow");
    return Vant::Ferrow::parseCommandLine(static_cast<int>(args.size()), args.data());
}

std::string daemon() {
    return builtProgram("tolvane-ferrow");
}

// Printer mode ends (status 0) at once without a lighting controller.
const std::map<std::string, std::string> NoBoards = {{"TOLVANE_LIGHTING_PORT", "/nonexistent/lighting"}};

std::string firstLine(const std::string& out) {
    return out.substr(0, out.find('\n') + 1);
}

// The public-key line the daemon printed first, and whatever it wrote to standard error.
std::string keyLine(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env) {
    ChildProcess p(argv, env);
    p.waitForOutput("\n", 10s);
    return firstLine(p.out()) + p.err();
}
}  // namespace

TEST(CommandLine, OnlyTheSecondCharacterOfAnOptionCountsAndValuesAreTakenVerbatim) {
    CommandLine c = parse({"-kx", "abc", "k", "-t", "Packaging", "-p", "-u", "-z", "stray"});
    EXPECT_EQ(c.privKeyHex, "abc");
    EXPECT_EQ(c.fakeUserTaskType, "Packaging");
    EXPECT_TRUE(c.prompt && c.fakeUser);
    c = parse({"-k", "-p", "-k", "second", "-t"});
    EXPECT_EQ(c.privKeyHex, "second");
    EXPECT_FALSE(c.prompt);  // "-p" was the value of the first -k, not an option
    EXPECT_EQ(c.fakeUserTaskType, "");
    EXPECT_FALSE(parse({"-", "k"}).prompt);
}

TEST(Startup, MissingOrMalformedKeyPrintsUsageAndFails) {
    const std::vector<std::vector<std::string>> cases = {
        {}, {"-k"}, {"-k", PrivateKey.substr(1)}, {"-k", PrivateKey + "0"}, {"k", PrivateKey}};
    for (const auto& extra : cases) {
        std::vector<std::string> argv{daemon()};
        argv.insert(argv.end(), extra.begin(), extra.end());
        ChildProcess p(argv, {{"TOLVANE_PRIVATE_KEY", ""}});
        EXPECT_EQ(p.wait(10s), 1) << argv.size();
        EXPECT_EQ(p.err(), Usage);
        EXPECT_EQ(p.out(), "");
    }
}

TEST(Startup, PrintsThePublicKeyOfTheGivenKeyBeforeOpeningTheBoards) {
    ChildProcess p({daemon(), "-kx", PrivateKey}, NoBoards);
    EXPECT_EQ(p.wait(30s), 0);
    EXPECT_EQ(p.out(),
              PublicKeyPrefix + PublicKey + "\nLighting creation error : No such file or directory\n");
}

TEST(Startup, KeyMayComeFromTheEnvironmentWithTheSameChecks) {
    auto env = NoBoards;
    env["TOLVANE_PRIVATE_KEY"] = PrivateKey;
    EXPECT_EQ(keyLine({daemon()}, env), PublicKeyPrefix + PublicKey + "\n");
    env["TOLVANE_PRIVATE_KEY"] = "0";  // -k wins
    EXPECT_EQ(keyLine({daemon(), "-k", PrivateKey}, env), PublicKeyPrefix + PublicKey + "\n");
    ChildProcess shortKey({daemon()}, {{"TOLVANE_PRIVATE_KEY", PrivateKey.substr(2)}});
    EXPECT_EQ(shortKey.wait(10s), 1);
    EXPECT_EQ(shortKey.err(), Usage);
}

// Access control that silently did not come on would let anyone in.
TEST(Startup, TrustedUsersFileThatDoesNotReadStopsStartUp) {
    EXPECT_EQ(parse({"--trusted-users", "/etc/trusted", "-k", "x"}).trustedUsersPath, "/etc/trusted");
    EXPECT_EQ(parse({"--trusted-users=/etc/t"}).trustedUsersPath, "/etc/t");
    EXPECT_TRUE(parse({"-k", "x", "--trusted-users"}).trustedUsersWithoutFile);

    const std::string path = ::testing::TempDir() + "startup-trusted-users";
    std::ofstream(path) << "# the owner's phone\n"
                        << PublicKey << "  # phone\n\n"
                        << PublicKey.substr(1) << "\n";
    ChildProcess malformed({daemon(), "-k", PrivateKey, "--trusted-users", path}, NoBoards);
    EXPECT_EQ(malformed.wait(10s), 1);
    EXPECT_NE(malformed.err().find(path + ", line 4, holds no key"), std::string::npos) << malformed.err();
    EXPECT_EQ(malformed.out().find("Lighting creation error"), std::string::npos);

    auto env = NoBoards;
    env["TOLVANE_TRUSTED_USERS"] = path + ".missing";
    EXPECT_EQ(ChildProcess({daemon(), "-k", PrivateKey}, env).wait(10s), 1);
    EXPECT_EQ(ChildProcess({daemon(), "-k", PrivateKey, "--trusted-users"}, NoBoards).wait(10s), 1);

    std::ofstream(path) << "# the owner's phone\n" << PublicKey << "  # phone\n";
    ChildProcess listed({daemon(), "-k", PrivateKey, "--trusted-users", path}, NoBoards);
    EXPECT_EQ(listed.wait(10s), 0) << listed.err();
    EXPECT_NE(listed.out().find("Lighting creation error"), std::string::npos);
    std::remove(path.c_str());
}

TEST(Startup, NewKeyGivesAFreshKeyOnEachStartAndNeverShowsIt) {
    std::string seen[2];
    for (auto& key : seen) {
        key = keyLine({daemon(), "-k", "new"}, NoBoards);
        EXPECT_EQ(key.size(), PublicKeyPrefix.size() + 64 + 1) << key;
        EXPECT_EQ(key.compare(0, PublicKeyPrefix.size(), PublicKeyPrefix), 0) << key;
    }
    EXPECT_NE(seen[0], seen[1]);
}

