#include "kel/BlockPool.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "kel/var.h"

using kel::BlockPool;

TEST(BlockPool, LiveBlocksAreDistinctAndKeepTheirContents) {
    auto sizeOf = [](int k) { return 8 + static_cast<std::size_t>(k % 9) * 16; };  // beyond the pooled sizes too
    std::vector<char*> blocks;
    for (int k = 0; k < 1000; ++k) {
        blocks.push_back(static_cast<char*>(BlockPool::allocate(sizeOf(k))));
        std::memset(blocks.back(), k & 0xff, sizeOf(k));
    }
    EXPECT_EQ(blocks.size(), std::set<char*>(blocks.begin(), blocks.end()).size());
    for (int k = 0; k < 1000; ++k) {
        for (std::size_t i = 0; i < sizeOf(k); ++i) ASSERT_EQ(static_cast<char>(k & 0xff), blocks[k][i]);
        BlockPool::deallocate(blocks[k], sizeOf(k));
    }
}

// Blocks travel between threads' lists and the shared lists while other threads do the same.
TEST(BlockPool, ValuesMadeOnOneThreadAreDroppedOnAnother) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int round = 0; round < 50; ++round) {
                std::vector<kel::var> made;
                for (int k = 0; k < 500; ++k) {
                    kel::var v;
                    v["k"] = k;
                    v["s"] = "text";
                    made.push_back(v);
                }
                std::thread([values = std::move(made)]() mutable { values.clear(); }).join();
                kel::var check = {kel::var(t), kel::var(round)};
                ASSERT_EQ(round, check[1].integerValue());
            }
        });
    }
    for (auto& th : threads) th.join();
}
