#include "Apartment.h"

#include "ComResults.h"
#include "ThreadWaitPump.h"

#include <chrono>
#include <utility>

namespace zan {

struct Apartment::ConstructionKey {};

namespace {

// How long a caller whose own thread pumps waits between two turns of its
// pump while its call runs elsewhere.
constexpr auto kPumpSlice = std::chrono::milliseconds(5);

// The calling thread's apartment and its Enter depth. A thread that ends
// without leaving closes its apartment here, so calls directed at it are
// refused instead of waiting forever.
struct ApartmentSlot {
    std::shared_ptr<Apartment> apartment;
    int depth = 0;

    // Empties the slot and closes what it held. The slot lets go first, so
    // calls that run while closing see a thread without an apartment.
    void Vacate()
    {
        std::shared_ptr<Apartment> leaving = std::move(apartment);
        apartment.reset();
        depth = 0;
        SetThreadWaitPump(nullptr, nullptr);
        if (leaving) {
            leaving->Close();
        }
    }

    ~ApartmentSlot() { Vacate(); }
};

thread_local ApartmentSlot currentSlot;

} // namespace

Apartment::Apartment(const ConstructionKey&, std::thread::id owner) : owner(owner) {}

Apartment* Apartment::Enter()
{
    ApartmentSlot& slot = currentSlot;
    if (!slot.apartment) {
        slot.apartment = std::make_shared<Apartment>(ConstructionKey{}, std::this_thread::get_id());
        SetThreadWaitPump(&Apartment::PumpCurrent, slot.apartment.get());
    }
    ++slot.depth;
    return slot.apartment.get();
}

void Apartment::Leave()
{
    ApartmentSlot& slot = currentSlot;
    if (slot.apartment && --slot.depth == 0) {
        slot.Vacate();
    }
}

Apartment* Apartment::Current()
{
    return currentSlot.apartment.get();
}

std::shared_ptr<Apartment> Apartment::CurrentShared()
{
    return currentSlot.apartment;
}

void Apartment::PumpCurrent(void* apartment)
{
    static_cast<Apartment*>(apartment)->Pump();
}

bool Apartment::IsClosed()
{
    std::lock_guard guard(lock);
    return closed;
}

size_t Apartment::QueuedCallCount()
{
    std::lock_guard guard(lock);
    return queue.size();
}

HRESULT Apartment::Call(std::function<void()> fn)
{
    if (!fn) {
        return E_INVALIDARG;
    }
    // The owner may leave, dropping the last other reference, as soon as the
    // call has run: the apartment must outlive this caller's wait.
    const std::shared_ptr<Apartment> keepAlive = shared_from_this();
    auto call = std::make_shared<PendingCall>();
    call->fn = std::move(fn);
    {
        std::lock_guard guard(lock);
        if (closed) {
            return RPC_E_DISCONNECTED;
        }
        if (!IsOwnerThread()) {
            queue.push_back(call);
        }
    }
    if (IsOwnerThread()) {
        call->fn();
        return S_OK;
    }
    callQueued.notify_one();
    AwaitCompletion(*call);
    // Taken out of the shared record, so that the exception is released on
    // this thread only.
    if (std::exception_ptr error = std::exchange(call->error, nullptr)) {
        std::rethrow_exception(error);
    }
    return S_OK;
}

void Apartment::AwaitCompletion(PendingCall& call)
{
    std::unique_lock guard(lock);
    while (!call.done) {
        // A caller that is itself an apartment thread keeps serving its own
        // queue, or two apartments calling each other would wait forever.
        guard.unlock();
        const bool pumped = RunThreadWaitPump();
        guard.lock();
        if (call.done) {
            break;
        }
        if (pumped) {
            callFinished.wait_for(guard, kPumpSlice);
        } else {
            callFinished.wait(guard);
        }
    }
}

bool Apartment::RunOne()
{
    std::shared_ptr<PendingCall> call;
    {
        std::lock_guard guard(lock);
        if (queue.empty()) {
            return false;
        }
        call = std::move(queue.front());
        queue.pop_front();
    }
    try {
        call->fn();
    } catch (...) {
        call->error = std::current_exception();
    }
    // What the call captured goes on this thread, before its caller resumes.
    call->fn = nullptr;
    {
        std::lock_guard guard(lock);
        call->done = true;
    }
    callFinished.notify_all();
    return true;
}

void Apartment::Pump()
{
    if (!IsOwnerThread()) {
        return;
    }
    while (RunOne()) {
    }
}

bool Apartment::PumpFor(int64_t ms)
{
    if (!IsOwnerThread()) {
        return false;
    }
    {
        std::unique_lock guard(lock);
        callQueued.wait_for(guard, std::chrono::milliseconds(ms < 0 ? 0 : ms),
                            [this] { return !queue.empty() || closed; });
    }
    bool ran = false;
    while (RunOne()) {
        ran = true;
    }
    return ran;
}

void Apartment::Close()
{
    if (!IsOwnerThread()) {
        return;
    }
    {
        std::lock_guard guard(lock);
        closed = true;
    }
    callQueued.notify_all();
    // Calls accepted before the close still run: their callers are waiting.
    while (RunOne()) {
    }
}

} // namespace zan
