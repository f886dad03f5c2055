// Thread messages: posts per second from one thread to another, and the round trip of a
// send from a worker to the user-interface thread (headless loop) and back.
#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

#include "platform/thread.h"
#include "platform/window_table.h"

using namespace platform;

namespace {

StartedThread StartDrain(std::atomic<long>& received)
{
    return StartThread([&received] {
        Message msg;
        while (GetMessage(msg))
            received.fetch_add(1, std::memory_order_relaxed);
        return 0;
    });
}

void BM_PostBetweenTwoThreads(benchmark::State& state)
{
    std::atomic<long> received = 0;
    StartedThread drain = StartDrain(received);
    long posted = 0;
    for (auto _ : state) {
        PostThreadMessage(drain.id, WM_USER, posted, 0);
        ++posted;
    }
    PostThreadMessage(drain.id, WM_QUIT);
    drain.handle.Wait(INFINITE);   // included: every post is also taken out of the queue
    state.SetItemsProcessed(posted);
    state.counters["received"] = static_cast<double>(received.load());
}
BENCHMARK(BM_PostBetweenTwoThreads)->UseRealTime();

class Echo : public WindowTarget {
public:
    LRESULT WindowProc(Message& msg) override { return msg.lParam; }
};

void BM_SendToUserInterfaceThread(benchmark::State& state)
{
    // The benchmark's thread is the worker; a second thread runs the user-interface loop.
    Echo echo;
    HWND window = 0;
    std::atomic<bool> ready = false;
    std::thread ui([&] {
        SetUiThread();
        ResetQuit();
        window = RegisterWindow(&echo);
        ready = true;
        RunUiLoop();
        UnregisterWindow(window);
    });
    while (!ready)
        std::this_thread::yield();
    for (auto _ : state)
        benchmark::DoNotOptimize(SendMessageTimeout(window, WM_USER, 0, 1, 1000));
    PostQuitMessage(0);
    ui.join();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SendToUserInterfaceThread)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
