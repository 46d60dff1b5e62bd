#pragma once

#include <pthread.h>

namespace zan {

// A shared mutex that lets no new shared owner in while an exclusive owner
// waits. std::shared_mutex on this platform prefers readers: two threads
// that take it shared in turn, each releasing it only for a moment, can keep
// a waiting writer out for good. Here a waiting writer is served as soon as
// the current shared owners leave.
//
// Meets the SharedMutex requirements (std::unique_lock, std::shared_lock).
// Not recursive: a thread that holds it in either mode must not take it
// again, shared included, or it may wait for a writer queued behind itself.
class WriterPreferringMutex {
public:
    WriterPreferringMutex();
    ~WriterPreferringMutex();

    WriterPreferringMutex(const WriterPreferringMutex&) = delete;
    WriterPreferringMutex& operator=(const WriterPreferringMutex&) = delete;

    void lock();
    bool try_lock();
    void unlock();

    void lock_shared();
    bool try_lock_shared();
    void unlock_shared();

private:
    pthread_rwlock_t rwlock;
};

} // namespace zan
