#include "WriterPreferringMutex.h"

#include <system_error>

namespace zan {

namespace {

void Check(int result, const char* what)
{
    if (result != 0) {
        throw std::system_error(result, std::system_category(), what);
    }
}

}  // namespace

WriterPreferringMutex::WriterPreferringMutex()
{
    pthread_rwlockattr_t attributes;
    Check(pthread_rwlockattr_init(&attributes), "pthread_rwlockattr_init");
    // The only writer-preferring kind the C library offers; it requires that
    // no thread takes the lock recursively, which the class comment forbids.
    pthread_rwlockattr_setkind_np(&attributes, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    const int result = pthread_rwlock_init(&rwlock, &attributes);
    pthread_rwlockattr_destroy(&attributes);
    Check(result, "pthread_rwlock_init");
}

WriterPreferringMutex::~WriterPreferringMutex()
{
    pthread_rwlock_destroy(&rwlock);
}

void WriterPreferringMutex::lock()
{
    Check(pthread_rwlock_wrlock(&rwlock), "pthread_rwlock_wrlock");
}

bool WriterPreferringMutex::try_lock()
{
    return pthread_rwlock_trywrlock(&rwlock) == 0;
}

void WriterPreferringMutex::unlock()
{
    pthread_rwlock_unlock(&rwlock);
}

void WriterPreferringMutex::lock_shared()
{
    Check(pthread_rwlock_rdlock(&rwlock), "pthread_rwlock_rdlock");
}

bool WriterPreferringMutex::try_lock_shared()
{
    return pthread_rwlock_tryrdlock(&rwlock) == 0;
}

void WriterPreferringMutex::unlock_shared()
{
    pthread_rwlock_unlock(&rwlock);
}

} // namespace zan
