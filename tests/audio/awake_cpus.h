#pragma once

#include <atomic>
#include <pthread.h>
#include <sched.h>
#include <thread>
#include <vector>

namespace kestravon::ruvi::testing {

// Keeps every CPU this process may run on out of its idle halt while it lives, as an audio
// machine tuned for low latency does: one thread per CPU at the idle scheduling class spins, so
// any other thread that wakes takes the CPU at once.
//
// Why the sound server's tests need it: on a virtual machine whose idle CPUs halt, waking one
// costs the host a reschedule of that virtual CPU, often longer than a 2.7 ms cycle of 128
// frames. The server then starts its next cycle while a client's thread has been woken but has
// not yet run, counts the client too slow and plays silence in place of that cycle's buffer.
// Nothing reaches the client, so such a loss cannot be reported, and on an otherwise idle machine
// it can come every few cycles for seconds on end. A busy machine, or one whose CPUs are kept
// awake, does not show it.
class AwakeCpus {
public:
    AwakeCpus() {
        cpu_set_t allowed;
        CPU_ZERO(&allowed);
        if (sched_getaffinity(0, sizeof(allowed), &allowed) != 0) {
            return;
        }
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
            if (CPU_ISSET(cpu, &allowed)) {
                spinners_.emplace_back([this, cpu] { spin(cpu); });
            }
        }
    }

    ~AwakeCpus() {
        stop_.store(true, std::memory_order_relaxed);
        for (std::thread& t : spinners_) {
            t.join();
        }
    }

    AwakeCpus(const AwakeCpus&) = delete;
    AwakeCpus& operator=(const AwakeCpus&) = delete;

private:
    void spin(int cpu) {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        pthread_setaffinity_np(pthread_self(), sizeof(one), &one);
        // Any thread may lower itself to the idle class; if it could not, it must not spin at
        // the priority of real work.
        sched_param idle{};
        if (pthread_setschedparam(pthread_self(), SCHED_IDLE, &idle) != 0) {
            return;
        }
        while (!stop_.load(std::memory_order_relaxed)) {
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        }
    }

    std::atomic<bool> stop_{false};
    std::vector<std::thread> spinners_;
};

} // namespace kestravon::ruvi::testing
