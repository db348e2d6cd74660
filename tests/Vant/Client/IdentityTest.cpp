#include "Vant/Client/Identity.h"
#include "Vant/Client/SecurePrinters.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <string>

#include "support/StagedHome.h"

using Vant::Client::Identity;

TEST(Identity, MakesThePrivateKeyOnceAndPresentsItAgain) {
    const std::string path = testsupport::scratchFolder() + "/config/tolvane/user.key";
    std::string error;
    kel::bytes first;
    {
        Identity identity;
        ASSERT_TRUE(identity.load(path, error)) << error;
        EXPECT_TRUE(identity.persistent());
        first = identity.publicKey();
    }
    struct stat file;
    ASSERT_EQ(::stat(path.c_str(), &file), 0);
    EXPECT_EQ(file.st_mode & 0777, 0600u);
    Identity again;
    ASSERT_TRUE(again.load(path, error)) << error;
    EXPECT_EQ(again.publicKey(), first);

    // While one process holds it, a second one presents a key of its own.
    Identity concurrent;
    ASSERT_TRUE(concurrent.load(path, error)) << error;
    EXPECT_FALSE(concurrent.persistent());
    EXPECT_NE(concurrent.publicKey(), first);
}

TEST(Identity, AFileWithoutAKeyIsAnErrorAndIsLeftAlone) {
    const std::string path = testsupport::scratchFolder() + "/user.key";
    testsupport::writeFile(path, "not a key\n");
    Identity identity;
    std::string error;
    EXPECT_FALSE(identity.load(path, error));
    EXPECT_EQ(testsupport::slurp(path), "not a key\n");
}

TEST(SecurePrinters, RememberingFailsWhenTheConfigFolderCannotBeMade) {
    // A plain file stands where the configuration's parent folder should be.
    const std::string blocker = testsupport::scratchFolder() + "/plain-file";
    testsupport::writeFile(blocker, "");
    ::setenv("XDG_CONFIG_HOME", blocker.c_str(), 1);
    std::string error;
    EXPECT_FALSE(Vant::Client::rememberSecurePrinter(kel::bytes(32).randomize(), error));
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_NE(error.find("cannot make the folder " + blocker + "/tolvane"), std::string::npos) << error;
}
