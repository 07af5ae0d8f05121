#include <gtest/gtest.h>

#include "embedded_interpreter.hpp"

namespace quellgate {
namespace {

using testing::run_python;

// Event loops in three threads share one limiter: Futures completed at once or
// from the workers in batches, cancelled while their jobs wait or after their
// admission landed unread (which gives the permit back), and every permit back.
TEST(BridgeTest, LoopsInSeveralThreadsShareOneAsyncLimiterAndEveryPermitComesBack) {
  const std::string outcome = run_python(R"(
import asyncio, threading, time, quellgate

limiter = quellgate.AsyncRateLimiter(sec=10**9, max_burst=3)

async def hold():
    async with limiter:
        await asyncio.sleep(0)

async def one_loop():
    await asyncio.wait_for(asyncio.gather(*[hold() for _ in range(15)]), 60)
    waits = [limiter.acquire() for _ in range(20)]
    await asyncio.sleep(0.002)
    for wait in waits:
        wait.cancel()
    await asyncio.sleep(0.05)
    for wait in waits:
        if wait.cancelled():
            continue
        try:
            wait.result()
        except asyncio.CancelledError:
            continue  # a wait's admission, cancelled unread: it gave its permit back
        await limiter.release()  # admitted at once: done before it could be cancelled

threads = [threading.Thread(target=asyncio.run, args=(one_loop(),)) for _ in range(3)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()

async def free_permits():
    return (await limiter.get_remaining())["burst"]

deadline = time.monotonic() + 30
free = asyncio.run(free_permits())
while free != 3 and time.monotonic() < deadline:
    time.sleep(0.01)
    free = asyncio.run(free_permits())
result = free
)");
  EXPECT_EQ(outcome, "3");
}

TEST(BridgeTest, DecoratedCoroutinesAndFunctionsDeliverValuesAndErrors) {
  const std::string outcome = run_python(R"(
import asyncio, quellgate

limiter = quellgate.AsyncRateLimiter(sec=10**9, max_burst=64)

@limiter
async def doubled(value):
    await asyncio.sleep(0)
    return value * 2

@limiter
def fails():
    raise KeyError("on a worker")

async def main():
    values = await asyncio.gather(*[doubled(i) for i in range(50)])
    errors = await asyncio.gather(*[fails() for _ in range(10)], return_exceptions=True)
    return sum(values), sorted({type(error).__name__ for error in errors})

result = asyncio.run(main())
)");
  EXPECT_EQ(outcome, "(2450, ['KeyError'])");
}

}  // namespace
}  // namespace quellgate
