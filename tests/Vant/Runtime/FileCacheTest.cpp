#include "Vant/Runtime/FileCache.h"

#include <gtest/gtest.h>

#include "ProgressLog.h"
#include "support/StagedHome.h"

using namespace testsupport;
using Vant::Runtime::FileCache;

namespace {

const char* const HelloDigest = "b1946ac92492d2347c6235b4d2611184";  // MD5 of "hello\n"

}  // namespace

TEST(FileCache, MovesAFileInUnderItsDigestAndOnlyWhenTheDigestAgrees) {
    const std::string temp = scratchFolder() + "/", folder = scratchFolder() + "/";
    FileCache cache(folder);
    writeFile(temp + "other", "hello?\n");
    EXPECT_FALSE(cache.takeFile(HelloDigest, temp + "other"));
    EXPECT_EQ(slurp(temp + "other"), "hello?\n");
    EXPECT_FALSE(cache.hasFile(HelloDigest));

    writeFile(temp + "model", "hello\n");
    EXPECT_EQ(cache.takeFile(temp + "model").value_or(""), HelloDigest);
    EXPECT_FALSE(exists(temp + "model"));
    EXPECT_EQ(cache.getFile(HelloDigest).value_or(""), folder + HelloDigest);
    EXPECT_EQ(slurp(folder + HelloDigest), "hello\n");
    writeFile(temp + "again", "hello\n");
    EXPECT_TRUE(cache.takeFile(HelloDigest, temp + "again"));
    EXPECT_EQ(slurp(folder + HelloDigest), "hello\n");

    EXPECT_FALSE(cache.takeFile(temp + "absent"));
    // A cache whose folder is gone leaves the file where it is.
    writeFile(temp + "model", "hello\n");
    EXPECT_FALSE(FileCache(folder + "gone/").takeFile(temp + "model"));
    EXPECT_TRUE(exists(temp + "model"));
}

TEST(FileCache, TreatsPathsAsPlainTextAndNamesNoFileOutsideItsFolder) {
    const std::string folder = scratchFolder() + "/";
    const std::string odd = scratchFolder() + "/a b;touch pwned $(touch pwned2) 'q\"";
    writeFile(odd, "hello\n");
    EXPECT_EQ(FileCache(folder).takeFile(odd).value_or(""), HelloDigest);
    EXPECT_FALSE(exists("pwned") || exists("pwned2") || exists(odd));

    FileCache inner(folder + "inner/");
    ASSERT_EQ(::mkdir((folder + "inner").c_str(), 0755), 0);
    writeFile(folder + "secret", "x");
    EXPECT_FALSE(inner.hasFile(""));  // the folder itself
    EXPECT_FALSE(inner.hasFile("../secret") || inner.getFile("../secret"));
}

TEST(FileCache, CopiesAcrossFileSystems) {
    struct stat shm, tmp;
    const std::string folder = scratchFolder() + "/";
    if (::stat("/dev/shm", &shm) != 0 || ::stat(folder.c_str(), &tmp) != 0 || shm.st_dev == tmp.st_dev)
        GTEST_SKIP() << "no second file system at /dev/shm";
    char pattern[] = "/dev/shm/tolvane-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string source = std::string(pattern) + "/model";
    writeFile(source, "hello\n");
    EXPECT_TRUE(FileCache(folder).takeFile(HelloDigest, source));
    EXPECT_FALSE(exists(source));
    EXPECT_EQ(slurp(folder + HelloDigest), "hello\n");
    ::rmdir(pattern);
}
