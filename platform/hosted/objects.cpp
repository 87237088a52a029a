// Kernel objects of the hosted kernel: handles, events, semaphores, waits
// and critical sections.
#include <dlfcn.h>
#include <algorithm>
#include <cstdio>

#include "platform/hosted/kernel_impl.hpp"

namespace hosted {

namespace {

constexpr std::size_t kMaxObjectName = 260;  // characters, as the platform's MAX_PATH

}  // namespace

const char* kindName(ObjectKind kind) {
    switch (kind) {
        case ObjectKind::Event:
            return "event";
        case ObjectKind::Semaphore:
            return "semaphore";
        case ObjectKind::Thread:
            return "thread";
        case ObjectKind::CriticalSection:
            return "critical section";
        case ObjectKind::Key:
            return "registry key";
    }
    return "object";
}

std::string withArticle(ObjectKind kind) {
    return (kind == ObjectKind::Event ? "an " : "a ") + std::string(kindName(kind));
}

std::string routineName(LPTHREAD_START_ROUTINE start) {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(start), &info) != 0 && info.dli_sname != nullptr &&
        info.dli_saddr == reinterpret_cast<void*>(start)) {
        return std::string(":") + info.dli_sname;
    }
    return {};
}

std::string Kernel::Impl::handleText(const void* handle) const {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "0x%08lx",
                  static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(handle)));
    return buffer;
}

void Kernel::Impl::fault(std::string what) {
    const std::string thread = threadName(&self());
    trace("fault: " + what);
    faults.push_back(KernelFault{now_, thread, std::move(what)});
}

bool Kernel::Impl::refuseArgument(const char* call, const char* what, bool allowed) {
    if (allowed) {
        return false;
    }
    fault(std::string(call) + ": " + what);
    return true;
}

void Kernel::Impl::trace(std::string what) {
    ++activity_;  // every traced event is one a polling loop does not make
    if (config_.traceKernel) {
        traceLog.add(now_, threadName(&self()), std::move(what));
    }
}

// ---- Handles ----

HANDLE Kernel::Impl::addHandle(std::shared_ptr<Object> object) {
    const std::optional<HandleId> id = handles.add(std::move(object));
    if (!id) {
        setError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return HandleTable::toHandle(*id);
}

std::shared_ptr<Object> Kernel::Impl::lookup(const void* handle, const char* call,
                                             std::optional<ObjectKind> kind) {
    std::shared_ptr<Object> object = handle == kCurrentThreadPseudoHandle
                                         ? currentThreadObject()
                                         : handles.find(HandleTable::fromHandle(handle));
    if (!object || object->kind == ObjectKind::CriticalSection) {
        fault(std::string(call) + ": closed or unknown handle " + handleText(handle));
        setError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (kind && object->kind != *kind) {
        fault(std::string(call) + ": handle " + handleText(handle) + " is " +
              withArticle(object->kind) + ", not " + withArticle(*kind));
        setError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return object;
}

std::shared_ptr<Object> Kernel::Impl::currentThreadObject() {
    const Thread* me = &self();
    for (const auto& thread : threads_) {
        if (thread.get() == me) {
            return thread;
        }
    }
    return nullptr;
}

bool Kernel::Impl::closeHandle(HANDLE handle, const char* call, std::optional<ObjectKind> kind) {
    const std::shared_ptr<Object> object = lookup(handle, call, kind);
    if (!object) {
        return false;
    }
    if (!kind && object->kind == ObjectKind::Key) {
        fault(std::string(call) + ": handle " + handleText(handle) +
              " is a registry key; close it with RegCloseKey");
        setError(ERROR_INVALID_HANDLE);
        return false;
    }
    for (const auto& t : threads_) {
        if (t->state == ThreadState::Blocked && t->wait.handle == handle &&
            t->wait.object == object) {
            // As on the platform, the waiter keeps waiting on the object.
            fault(std::string(call) + ": handle " + handleText(handle) + " closed while " +
                  t->name + " waits on it");
        }
    }
    handles.remove(HandleTable::fromHandle(handle));
    trace("closes " + std::string(kindName(object->kind)) + " " + handleText(handle));
    return true;
}

// ---- Events and semaphores ----

namespace {

// The name of a named object; false when it is too long to be one.
bool readName(LPCWSTR name, std::u16string& out) {
    out.clear();
    if (name == nullptr) {
        return true;
    }
    for (std::size_t i = 0; i <= kMaxObjectName; ++i) {
        if (name[i] == 0) {
            return true;
        }
        out.push_back(name[i]);
    }
    return false;
}

}  // namespace

HANDLE Kernel::Impl::createEvent(BOOL manualReset, BOOL initialState, LPCWSTR name) {
    if (injectFailure(FaultPoint::CreateEvent)) {
        setError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    std::u16string key;
    if (!readName(name, key)) {
        setError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (!key.empty()) {
        const auto found = names_.find(key);
        if (found != names_.end()) {
            if (std::shared_ptr<Object> existing = found->second.lock()) {
                if (existing->kind != ObjectKind::Event) {
                    setError(ERROR_INVALID_HANDLE);
                    return nullptr;
                }
                HANDLE handle = addHandle(existing);
                if (handle != nullptr) {
                    setError(ERROR_ALREADY_EXISTS);
                    trace("opens existing event " + handleText(handle));
                }
                return handle;
            }
            names_.erase(found);
        }
    }
    auto event = std::make_shared<Event>(manualReset != FALSE, initialState != FALSE);
    event->name = key;
    HANDLE handle = addHandle(event);
    if (handle == nullptr) {
        return nullptr;
    }
    if (!key.empty()) {
        names_[key] = event;
        setError(ERROR_SUCCESS);
    }
    trace("creates " + std::string(manualReset ? "manual" : "auto") + "-reset event " +
          handleText(handle) + (initialState ? ", set" : ""));
    return handle;
}

HANDLE Kernel::Impl::openEvent(LPCWSTR name) {
    std::u16string key;
    if (name == nullptr || !readName(name, key) || key.empty()) {
        setError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const auto found = names_.find(key);
    std::shared_ptr<Object> existing = found == names_.end() ? nullptr : found->second.lock();
    if (!existing || existing->kind != ObjectKind::Event) {
        setError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    HANDLE handle = addHandle(existing);
    if (handle != nullptr) {
        trace("opens event " + handleText(handle));
    }
    return handle;
}

void Kernel::Impl::signal(Event& event) {
    if (event.manualReset) {
        event.signaled = true;
        while (!event.waiters.empty()) {
            wake(*event.waiters.front(), WAIT_OBJECT_0);
        }
    } else if (!event.waiters.empty()) {
        wake(*event.waiters.front(), WAIT_OBJECT_0);
    } else {
        event.signaled = true;
    }
}

void Kernel::Impl::pulse(Event& event) {
    if (event.manualReset) {
        while (!event.waiters.empty()) {
            wake(*event.waiters.front(), WAIT_OBJECT_0);
        }
    } else if (!event.waiters.empty()) {
        wake(*event.waiters.front(), WAIT_OBJECT_0);
    }
    event.signaled = false;
}

BOOL Kernel::Impl::releaseSemaphore(Semaphore& semaphore, LONG count, PLONG previous) {
    if (count <= 0) {
        setError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (count > semaphore.maximum - semaphore.count) {
        setError(ERROR_TOO_MANY_POSTS);
        return FALSE;
    }
    if (previous != nullptr) {
        *previous = semaphore.count;
    }
    semaphore.count += count;
    while (semaphore.count > 0 && !semaphore.waiters.empty()) {
        --semaphore.count;
        wake(*semaphore.waiters.front(), WAIT_OBJECT_0);
    }
    return TRUE;
}

bool Kernel::Impl::tryAcquire(Object& object, Thread& thread) {
    (void)thread;
    switch (object.kind) {
        case ObjectKind::Event: {
            auto& event = static_cast<Event&>(object);
            if (!event.signaled) {
                return false;
            }
            if (!event.manualReset) {
                event.signaled = false;
            }
            return true;
        }
        case ObjectKind::Semaphore: {
            auto& semaphore = static_cast<Semaphore&>(object);
            if (semaphore.count <= 0) {
                return false;
            }
            --semaphore.count;
            return true;
        }
        case ObjectKind::Thread:
            return static_cast<Thread&>(object).state == ThreadState::Finished;
        case ObjectKind::CriticalSection:
        case ObjectKind::Key:
            break;
    }
    return false;
}

DWORD Kernel::Impl::waitFor(HANDLE handle, DWORD milliseconds) {
    Thread& me = self();
    const std::shared_ptr<Object> object = lookup(handle, "WaitForSingleObject");
    if (!object) {
        return WAIT_FAILED;
    }
    if (object->kind == ObjectKind::Key) {
        fault("WaitForSingleObject: handle " + handleText(handle) + " is a registry key");
        setError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    if (tryAcquire(*object, me)) {
        switchPoint();
        return WAIT_OBJECT_0;
    }
    if (milliseconds == 0) {
        switchPoint();
        return WAIT_TIMEOUT;
    }
    me.wait = WaitInfo{};
    me.wait.object = object;
    me.wait.handle = handle;
    me.wait.since = now_;
    me.wait.order = ++waitOrder_;
    if (milliseconds != INFINITE) {
        me.wait.deadline = now_ + Micros{milliseconds} * kMicrosPerMilli;
    }
    object->waiters.push_back(&me);
    me.state = ThreadState::Blocked;
    trace("waits on " + std::string(kindName(object->kind)) + " " + handleText(handle) +
          (milliseconds == INFINITE ? " without timeout"
                                    : " for " + std::to_string(milliseconds) + " ms"));
    block(me);
    return me.wait.result;
}

// ---- Critical sections ----

CriticalSectionObject* Kernel::Impl::sectionOf(LPCRITICAL_SECTION section, const char* call) {
    if (section == nullptr) {
        fault(std::string(call) + ": null critical section");
        return nullptr;
    }
    if (section->Handle == 0) {
        fault(std::string(call) + ": critical section not initialized");
        return nullptr;
    }
    const HandleId id{section->Handle, section->Generation};
    const std::shared_ptr<Object> object = handles.find(id);
    if (!object || object->kind != ObjectKind::CriticalSection) {
        fault(std::string(call) + ": critical section " + handleText(HandleTable::toHandle(id)) +
              " was deleted or never initialized");
        return nullptr;
    }
    return static_cast<CriticalSectionObject*>(object.get());
}

void Kernel::Impl::initSection(LPCRITICAL_SECTION section) {
    if (section == nullptr) {
        fault("InitializeCriticalSection: null critical section");
        return;
    }
    section->Handle = 0;
    section->Generation = 0;
    section->Reserved[0] = 0;
    section->Reserved[1] = 0;
    const std::optional<HandleId> id = handles.add(std::make_shared<CriticalSectionObject>());
    if (!id) {
        fault("InitializeCriticalSection: handle table full");
        return;
    }
    section->Handle = id->slot;
    section->Generation = id->generation;
    trace("initializes critical section " + handleText(HandleTable::toHandle(*id)));
}

void Kernel::Impl::deleteSection(LPCRITICAL_SECTION section) {
    CriticalSectionObject* object = sectionOf(section, "DeleteCriticalSection");
    if (object == nullptr) {
        return;
    }
    const HandleId id{section->Handle, section->Generation};
    const std::string name = handleText(HandleTable::toHandle(id));
    if (object->owner != nullptr) {
        fault("DeleteCriticalSection: critical section " + name + " deleted while " +
              object->owner->name + " owns it");
    }
    if (!object->waiters.empty()) {
        fault("DeleteCriticalSection: critical section " + name + " deleted while " +
              object->waiters.front()->name + " waits for it");
    }
    handles.remove(id);
    trace("deletes critical section " + name);
}

void Kernel::Impl::enterSection(LPCRITICAL_SECTION section) {
    Thread& me = self();
    CriticalSectionObject* object = sectionOf(section, "EnterCriticalSection");
    if (object == nullptr) {
        return;
    }
    if (object->owner == nullptr) {
        object->owner = &me;
        object->depth = 1;
        switchPoint();
        return;
    }
    const HandleId id{section->Handle, section->Generation};
    HANDLE handle = HandleTable::toHandle(id);
    if (object->owner == &me) {
        fault("EnterCriticalSection: critical section " + handleText(handle) +
              " entered again by its owner");
        ++object->depth;
        return;
    }
    me.wait = WaitInfo{};
    me.wait.object = handles.find(id);
    me.wait.handle = handle;
    me.wait.since = now_;
    me.wait.order = ++waitOrder_;
    object->waiters.push_back(&me);
    me.state = ThreadState::Blocked;
    trace("waits for critical section " + handleText(handle) + " owned by " + object->owner->name);
    block(me);
}

void Kernel::Impl::leaveSection(LPCRITICAL_SECTION section) {
    Thread& me = self();
    CriticalSectionObject* object = sectionOf(section, "LeaveCriticalSection");
    if (object == nullptr) {
        return;
    }
    if (object->owner != &me) {
        fault("LeaveCriticalSection: critical section " +
              handleText(HandleTable::toHandle({section->Handle, section->Generation})) +
              " left by a thread that does not own it (owner: " + threadName(object->owner) + ")");
        return;
    }
    if (--object->depth > 0) {
        return;
    }
    object->owner = nullptr;
    if (!object->waiters.empty()) {
        // Ownership passes straight to the first waiter.
        Thread& next = *object->waiters.front();
        object->owner = &next;
        object->depth = 1;
        wake(next, WAIT_OBJECT_0);
    }
    switchPoint();
}

// ---- Fault injection ----

void Kernel::Impl::failCall(FaultPoint point, unsigned nth) {
    failures_.push_back(FailureRule{point, nth, 0});
}

bool Kernel::Impl::injectFailure(FaultPoint point) {
    bool fail = false;
    for (FailureRule& rule : failures_) {
        if (rule.point != point) {
            continue;
        }
        ++rule.seen;
        fail = fail || rule.nth == 0 || rule.seen == rule.nth;
    }
    if (fail) {
        trace("injected failure");
    }
    return fail;
}

}  // namespace hosted
