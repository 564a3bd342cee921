// SPDX-License-Identifier: MIT
#include "TestKernel.h"

#include "CallerMemory.h"
#include "KernelHooks.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>
#include <sys/mman.h>
#include <unistd.h>

namespace qimtest::kern {

namespace {

// User memory: an arena of pages, unmapped until placed. Placements grow up
// from the bottom, each followed by an unmapped page; those at the limit grow
// down from the top, so that every other placement stays below the limit.
constexpr std::size_t kArenaPages = 1024;

struct State {
    std::vector<std::string> log;
    std::vector<std::string> calls;
    int failKmalloc = 0;
    std::set<const void*> live;
    int badFrees = 0;
    std::vector<std::unique_ptr<Request>> requests;
    std::byte* arena = nullptr;
    std::size_t bottom = 1;  // page 0 stays unmapped: UnmappedUser
    std::size_t top = kArenaPages;
    qim::host::KernelHooks hooks;
};

State& S()
{
    static State state;
    return state;
}

std::size_t PageBytes() { return static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)); }

unsigned long Place(std::size_t firstPage, std::size_t pages, const Bytes& bytes)
{
    std::byte* start = S().arena + firstPage * PageBytes();
    if (::mprotect(start, pages * PageBytes(), PROT_READ | PROT_WRITE) != 0)
        std::abort();
    std::byte* at = start + pages * PageBytes() - bytes.size();
    std::memcpy(at, bytes.data(), bytes.size());
    return reinterpret_cast<unsigned long>(at);
}

std::size_t PagesFor(const Bytes& bytes) { return std::max<std::size_t>(1, (bytes.size() + PageBytes() - 1) / PageBytes()); }

qim::block_device_operations otherDriver{};

}  // namespace

void Reset()
{
    for (const void* p : S().live)
        std::free(const_cast<void*>(p));
    if (S().arena != nullptr)
        ::munmap(S().arena, kArenaPages * PageBytes());
    S() = State{};
    qim::host::ResetBlockLayer();

    void* arena = ::mmap(nullptr, kArenaPages * PageBytes(), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (arena == MAP_FAILED)
        std::abort();
    S().arena = static_cast<std::byte*>(arena);

    qim::host::KernelHooks& h = S().hooks;
    h.log = [](const char* text) { S().log.emplace_back(text); };
    h.panic = [](const char* text) { throw KernelPanic{text}; };
    h.alloc = [](std::size_t size) -> void* {
        if (S().failKmalloc > 0 && --S().failKmalloc == 0)
            return nullptr;
        void* p = std::malloc(size == 0 ? 1 : size);
        S().live.insert(p);
        return p;
    };
    h.free = [](const void* p) {
        if (S().live.erase(p) == 0) {
            ++S().badFrees;
            return;
        }
        std::free(const_cast<void*>(p));
    };
    h.trace = [](const char* call) { S().calls.emplace_back(call); };
    qim::host::SetKernelHooks(h);

    // This process is the caller of every control request a test makes.
    thread_local std::optional<qim::host::CallerScope> caller;
    caller.reset();
    caller.emplace(::getpid());
}

unsigned long PlaceUser(const Bytes& bytes)
{
    const std::size_t pages = PagesFor(bytes);
    if (S().bottom + pages + 1 > S().top)
        std::abort();
    const unsigned long at = Place(S().bottom, pages, bytes);
    S().bottom += pages + 1;
    return at;
}

unsigned long PlaceUserAtLimit(const Bytes& bytes)
{
    const std::size_t pages = PagesFor(bytes);
    const std::size_t end = S().top - 1;  // the page at the limit stays unmapped
    if (end < S().bottom + pages + 1)
        std::abort();
    const unsigned long at = Place(end - pages, pages, bytes);
    S().top = end - pages;
    S().hooks.userLimit = reinterpret_cast<std::uintptr_t>(S().arena + end * PageBytes());
    qim::host::SetKernelHooks(S().hooks);
    return at;
}

unsigned long UnmappedUser() { return reinterpret_cast<unsigned long>(S().arena); }

Bytes ReadUser(unsigned long address, std::size_t length)
{
    Bytes out(length);
    std::memcpy(out.data(), reinterpret_cast<const void*>(address), length);
    return out;
}

const std::vector<std::string>& Log() { return S().log; }
void ClearLog() { S().log.clear(); }
std::size_t CountLog(const std::string& line) { return std::ranges::count(S().log, line); }

const std::vector<std::string>& Calls() { return S().calls; }
std::size_t CountCalls(const std::string& line) { return std::ranges::count(S().calls, line); }

void FailKmalloc(int nth) { S().failKmalloc = nth; }
std::size_t LiveAllocations() { return S().live.size(); }
int BadFrees() { return S().badFrees; }

void OccupyAllMajors()
{
    Locked([] {
        for (unsigned m = 1; m < static_cast<unsigned>(qim::MAX_BLKDEV); ++m)
            if (!Registered(m))
                (void)qim::register_blkdev(m, "other", &otherDriver);
    });
}

bool Registered(unsigned major) { return qim::host::DeviceOperations(major) != nullptr; }
int UseCount() { return qim::host::ModuleUseCount(); }

Request* Submit(qim::kdev_t dev, int cmd, unsigned long sector, std::vector<Segment> segments, bool withHeads,
                unsigned queueMajor)
{
    auto r = std::make_unique<Request>();
    for (Segment& s : segments) {
        s.data.resize(std::size_t{s.sectors} * 512);
        r->buffers.push_back(std::move(s.data));
    }
    for (std::size_t i = 0; i < segments.size(); ++i)
        r->block.segments.push_back({std::as_writable_bytes(std::span(r->buffers[i])), segments[i].locked});
    Locked([&] { qim::host::QueueRequest(r->block, dev, cmd, sector, withHeads, queueMajor); });
    S().requests.push_back(std::move(r));
    return S().requests.back().get();
}

void RunQueue(unsigned major)
{
    Locked([major] { qim::host::RunQueue(major); });
}

void DropQueue(unsigned major) { qim::host::DropQueue(major); }

std::size_t QueueLength(unsigned major) { return qim::host::QueueLength(major); }

}  // namespace qimtest::kern
