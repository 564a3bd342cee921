// SPDX-License-Identifier: MIT
// The request lock knows its holder, so broken lock rules stop the program.
#include "RequestLock.h"

#include <gtest/gtest.h>

#include <thread>

using namespace qim::host;

TEST(RequestLock, KnowsItsHolder)
{
    EXPECT_FALSE(RequestsLockedHere());
    {
        RequestLockGuard lock;
        EXPECT_TRUE(RequestsLockedHere());
        bool elsewhere = true;
        std::thread([&] { elsewhere = RequestsLockedHere(); }).join();
        EXPECT_FALSE(elsewhere) << "another thread does not hold it";
    }
    EXPECT_FALSE(RequestsLockedHere());
}

TEST(RequestLockDeathTest, BrokenRulesStopTheProgram)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(AssertRequestsLocked("end_that_request_first"),
                 "end_that_request_first called without the request lock");
    EXPECT_DEATH(
        {
            RequestLockGuard lock;
            LockRequests();
        },
        "request lock taken twice");
}
