#include "Vant/Runtime/FileCache.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "support/StagedHome.h"

using testsupport::scratchFolder;
using testsupport::slurp;
using testsupport::writeFile;
using Vant::Runtime::FileCache;

namespace {

const char* const HelloDigest = "b1946ac92492d2347c6235b4d2611184";  // MD5 of "hello\n"

struct Folders {
    std::string temp = scratchFolder() + "/";
    std::string cache = scratchFolder() + "/";
};

bool exists(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;
}

}  // namespace

TEST(FileCache, MovesAFileInUnderItsDigest) {
    Folders f;
    FileCache cache(f.cache);
    writeFile(f.temp + "model", "hello\n");
    const auto id = cache.takeFile(f.temp + "model");
    ASSERT_TRUE(id);
    EXPECT_EQ(*id, HelloDigest);
    EXPECT_FALSE(exists(f.temp + "model"));
    EXPECT_TRUE(cache.hasFile(HelloDigest));
    EXPECT_EQ(cache.getFile(HelloDigest).value_or(""), f.cache + HelloDigest);
    EXPECT_EQ(slurp(f.cache + HelloDigest), "hello\n");

    // The same content again ends as the same one file.
    writeFile(f.temp + "again", "hello\n");
    EXPECT_TRUE(cache.takeFile(HelloDigest, f.temp + "again"));
    EXPECT_EQ(slurp(f.cache + HelloDigest), "hello\n");
}

TEST(FileCache, LeavesAFileWhoseDigestDiffersWhereItIs) {
    Folders f;
    FileCache cache(f.cache);
    writeFile(f.temp + "model", "hello?\n");
    EXPECT_FALSE(cache.takeFile(HelloDigest, f.temp + "model"));
    EXPECT_EQ(slurp(f.temp + "model"), "hello?\n");
    EXPECT_FALSE(cache.hasFile(HelloDigest));
    EXPECT_FALSE(cache.takeFile(f.temp + "absent"));
    EXPECT_FALSE(cache.takeFile(HelloDigest, f.temp + "absent"));
}

TEST(FileCache, TreatsPathsAsPlainTextNotShellWords) {
    Folders f;
    FileCache cache(f.cache);
    const std::string odd = f.temp + "a b;touch pwned $(touch pwned2) 'q\"";
    writeFile(odd, "hello\n");
    EXPECT_EQ(cache.takeFile(odd).value_or(""), HelloDigest);
    EXPECT_FALSE(exists("pwned"));
    EXPECT_FALSE(exists("pwned2"));
    EXPECT_FALSE(exists(odd));
}

TEST(FileCache, NamesNoFileOutsideTheCacheFolder) {
    Folders f;
    FileCache cache(f.cache + "inner/");
    ASSERT_EQ(::mkdir((f.cache + "inner").c_str(), 0755), 0);
    writeFile(f.cache + "secret", "x");
    EXPECT_FALSE(cache.hasFile(""));  // the folder itself
    EXPECT_FALSE(cache.hasFile("../secret"));
    EXPECT_FALSE(cache.getFile("../secret"));
    EXPECT_FALSE(cache.hasFile("0123456789abcdef0123456789abcdef"));
}

TEST(FileCache, CopiesAcrossFileSystems) {
    struct stat shm, tmp;
    Folders f;
    if (::stat("/dev/shm", &shm) != 0 || ::stat(f.cache.c_str(), &tmp) != 0 || shm.st_dev == tmp.st_dev) {
        GTEST_SKIP() << "no second file system at /dev/shm";
    }
    char pattern[] = "/dev/shm/tolvane-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string source = std::string(pattern) + "/model";
    writeFile(source, "hello\n");
    FileCache cache(f.cache);
    EXPECT_TRUE(cache.takeFile(HelloDigest, source));
    EXPECT_FALSE(exists(source));
    EXPECT_EQ(slurp(f.cache + HelloDigest), "hello\n");
    ::rmdir(pattern);
}
