// Simulated clock: the fake clock_gettime and sleep calls and the Clock that switches them on.
#include "sim_clock.h"

#include <dlfcn.h>
#include <errno.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <utility>

namespace sim {
namespace {

constexpr int64_t kNsPerUs = 1000;
constexpr int64_t kNsPerS = 1000000000;

struct State {
    int64_t now_ns = 0;
    std::multimap<int64_t, std::function<void()>> due;  // by due time, then in the order given
    std::vector<int64_t> sleeps_us;
};

std::mutex& mu() {
    static std::mutex* m = new std::mutex;  // never destroyed: the fakes may be called during exit
    return *m;
}
State* g_state = nullptr;           // guarded by mu()
thread_local bool t_owner = false;  // this thread's time is simulated

template <typename F>
F next_fn(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

using clock_gettime_fn = int (*)(clockid_t, timespec*);
using usleep_fn = int (*)(useconds_t);
using nanosleep_fn = int (*)(const timespec*, timespec*);
using clock_nanosleep_fn = int (*)(clockid_t, int, const timespec*, timespec*);

int real_clock_gettime(clockid_t id, timespec* ts) {
    static clock_gettime_fn f = next_fn<clock_gettime_fn>("clock_gettime");
    if (f == nullptr) return static_cast<int>(syscall(SYS_clock_gettime, id, ts));
    return f(id, ts);
}

bool monotonic(clockid_t id) {
    return id == CLOCK_MONOTONIC || id == CLOCK_MONOTONIC_RAW || id == CLOCK_MONOTONIC_COARSE || id == CLOCK_BOOTTIME;
}

int64_t to_ns(const timespec& ts) { return static_cast<int64_t>(ts.tv_sec) * kNsPerS + ts.tv_nsec; }

bool valid(const timespec* ts) { return ts->tv_sec >= 0 && ts->tv_nsec >= 0 && ts->tv_nsec < kNsPerS; }

int64_t now_ns() {
    std::lock_guard<std::mutex> lk(mu());
    return g_state != nullptr ? g_state->now_ns : 0;
}

// Moves the clock forward by d, running the actions due on the way without holding the lock
// (an action may use the clock or the library).
void advance_ns(int64_t d) {
    int64_t target;
    {
        std::lock_guard<std::mutex> lk(mu());
        if (g_state == nullptr) return;
        target = g_state->now_ns + (d > 0 ? d : 0);
    }
    for (;;) {
        std::function<void()> action;
        {
            std::lock_guard<std::mutex> lk(mu());
            if (g_state == nullptr) return;
            auto it = g_state->due.begin();
            if (it == g_state->due.end() || it->first > target) {
                if (g_state->now_ns < target) g_state->now_ns = target;
                return;
            }
            if (g_state->now_ns < it->first) g_state->now_ns = it->first;
            action = std::move(it->second);
            g_state->due.erase(it);
        }
        action();
    }
}

void sleep_ns(int64_t d) {
    {
        std::lock_guard<std::mutex> lk(mu());
        if (g_state != nullptr) g_state->sleeps_us.push_back(d / kNsPerUs);
    }
    advance_ns(d);
}

}  // namespace

Clock::Clock() {
    timespec ts{};
    real_clock_gettime(CLOCK_MONOTONIC, &ts);
    std::lock_guard<std::mutex> lk(mu());
    delete g_state;
    g_state = new State;
    g_state->now_ns = to_ns(ts);
    t_owner = true;
}

Clock::~Clock() {
    t_owner = false;
    std::lock_guard<std::mutex> lk(mu());
    delete g_state;
    g_state = nullptr;
}

int64_t Clock::now_us() const { return now_ns() / kNsPerUs; }
int64_t Clock::now_ms() const { return now_ns() / (1000 * kNsPerUs); }
void Clock::advance_ms(int64_t ms) { advance_ns(ms * 1000 * kNsPerUs); }

void Clock::after_ms(int64_t ms, std::function<void()> action) {
    std::lock_guard<std::mutex> lk(mu());
    if (g_state == nullptr) return;
    g_state->due.emplace(g_state->now_ns + ms * 1000 * kNsPerUs, std::move(action));
}

std::vector<int64_t> Clock::sleeps_us() const {
    std::lock_guard<std::mutex> lk(mu());
    return g_state != nullptr ? g_state->sleeps_us : std::vector<int64_t>{};
}

void Clock::clear_records() {
    std::lock_guard<std::mutex> lk(mu());
    if (g_state != nullptr) g_state->sleeps_us.clear();
}

}  // namespace sim

// ---- the system-call boundary ----
// Visible to the shared libraries of the process (the build hides symbols by default).
#define SIM_BOUNDARY __attribute__((visibility("default")))

extern "C" {

SIM_BOUNDARY int clock_gettime(clockid_t id, timespec* ts) {
    if (!sim::t_owner || !sim::monotonic(id)) return sim::real_clock_gettime(id, ts);
    int64_t ns = sim::now_ns();
    ts->tv_sec = static_cast<time_t>(ns / sim::kNsPerS);
    ts->tv_nsec = static_cast<long>(ns % sim::kNsPerS);
    return 0;
}

SIM_BOUNDARY int usleep(useconds_t us) {
    if (!sim::t_owner) {
        static sim::usleep_fn f = sim::next_fn<sim::usleep_fn>("usleep");
        return f(us);
    }
    sim::sleep_ns(static_cast<int64_t>(us) * sim::kNsPerUs);
    return 0;
}

SIM_BOUNDARY int nanosleep(const timespec* req, timespec* rem) {
    if (!sim::t_owner) {
        static sim::nanosleep_fn f = sim::next_fn<sim::nanosleep_fn>("nanosleep");
        return f(req, rem);
    }
    if (req == nullptr) {
        errno = EFAULT;
        return -1;
    }
    if (!sim::valid(req)) {
        errno = EINVAL;
        return -1;
    }
    sim::sleep_ns(sim::to_ns(*req));
    return 0;
}

SIM_BOUNDARY int clock_nanosleep(clockid_t id, int flags, const timespec* req, timespec* rem) {
    if (!sim::t_owner || !sim::monotonic(id)) {
        static sim::clock_nanosleep_fn f = sim::next_fn<sim::clock_nanosleep_fn>("clock_nanosleep");
        return f(id, flags, req, rem);
    }
    if (req == nullptr) return EFAULT;
    if (!sim::valid(req)) return EINVAL;
    int64_t d = sim::to_ns(*req);
    if (flags & TIMER_ABSTIME) d -= sim::now_ns();
    if (d > 0) sim::sleep_ns(d);
    return 0;
}

}  // extern "C"
