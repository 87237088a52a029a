// hosted::Kernel: the host's side of the hosted kernel.
#include <atomic>
#include <fstream>

#include "platform/hosted/kernel_impl.hpp"

namespace hosted {

namespace {

// The one kernel the platform calls act on.  The C interface of the platform
// has no context argument, so this is the single place that names it.
std::atomic<Kernel*>& currentKernel() {
    static std::atomic<Kernel*> current{nullptr};
    return current;
}

}  // namespace

Kernel::Kernel(KernelConfig config) {
    Kernel* expected = nullptr;
    if (!currentKernel().compare_exchange_strong(expected, this)) {
        throw std::logic_error("only one hosted::Kernel may exist at a time");
    }
    try {
        impl_ = std::make_unique<Impl>(*this, config);
    } catch (...) {
        currentKernel().store(nullptr);
        throw;
    }
}

Kernel::~Kernel() {
    impl_->shutdown();
    currentKernel().store(nullptr);
}

Kernel* Kernel::current() {
    return currentKernel().load();
}

const KernelConfig& Kernel::config() const {
    return impl_->config();
}

Micros Kernel::now() const {
    return impl_->now();
}

std::uint32_t Kernel::tickCount() const {
    return impl_->ticks();
}

void Kernel::advance(Micros duration) {
    impl_->advance(duration);
}

bool Kernel::advanceUntil(const std::function<bool()>& pred, Micros timeout) {
    return impl_->advanceUntil(pred, timeout);
}

DeviceContext& Kernel::devices() {
    return *impl_;
}

void Kernel::mapPorts(std::uint16_t first, std::uint16_t last, PortDevice& device) {
    impl_->mapPorts(first, last, device);
}

void Kernel::unmapPorts(PortDevice& device) {
    impl_->unmapPorts(device);
}

void Kernel::mapInterrupt(std::uint32_t sysIntr, unsigned line) {
    impl_->mapInterrupt(sysIntr, line);
}

Registry& Kernel::registry() {
    return impl_->registry;
}

void Kernel::setDisplayOrientation(std::uint32_t dmdo) {
    impl_->displayOrientation = dmdo;
}

void Kernel::setDisplayQueryFails(bool fails) {
    impl_->displayQueryFails = fails;
}

const std::vector<CursorMove>& Kernel::cursorMoves() const {
    return impl_->cursorMoves;
}

void Kernel::failCall(FaultPoint point, unsigned nth) {
    impl_->failCall(point, nth);
}

void Kernel::clearFailures() {
    impl_->clearFailures();
}

const std::vector<KernelFault>& Kernel::faults() const {
    return impl_->faults;
}

std::size_t Kernel::openHandleCount() const {
    return impl_->handles.size();
}

std::size_t Kernel::liveThreadCount() const {
    return impl_->liveThreads();
}

const std::vector<TraceRecord>& Kernel::trace() const {
    return impl_->traceLog.records();
}

std::uint64_t Kernel::traceHash() const {
    return impl_->traceLog.hash();
}

void Kernel::writeTrace(const std::string& path) const {
    std::ofstream out(path, std::ios::binary);
    out << impl_->traceLog.text();
    if (!out) {
        throw std::runtime_error("cannot write the kernel trace to " + path);
    }
}

const std::vector<PortAccess>& Kernel::portTrace() const {
    return impl_->portTrace;
}

std::string Kernel::threadReport() const {
    return impl_->threadReport();
}

bool Kernel::othersIdle() const {
    return impl_->othersIdle();
}

ThreadActivity Kernel::activityOf(void* thread) const {
    const std::shared_ptr<Object> object = impl_->handles.find(HandleTable::fromHandle(thread));
    if (!object || object->kind != ObjectKind::Thread) {
        throw std::invalid_argument("activityOf: not a thread handle");
    }
    const auto& t = static_cast<const Thread&>(*object);
    switch (t.state) {
        case ThreadState::Running:
            return ThreadActivity::Running;
        case ThreadState::Ready:
            return ThreadActivity::Ready;
        case ThreadState::Finished:
        case ThreadState::Parked:
            return ThreadActivity::Ended;
        case ThreadState::Blocked:
            break;
    }
    if (!t.wait.object) {
        return ThreadActivity::Sleeping;
    }
    switch (t.wait.object->kind) {
        case ObjectKind::Event:
            return ThreadActivity::WaitsOnEvent;
        case ObjectKind::Semaphore:
            return ThreadActivity::WaitsOnSemaphore;
        case ObjectKind::Thread:
            return ThreadActivity::WaitsOnThread;
        case ObjectKind::CriticalSection:
        case ObjectKind::Key:
            break;
    }
    return ThreadActivity::WaitsOnLock;
}

void Kernel::setThreadName(void* thread, const std::string& name) {
    const std::shared_ptr<Object> object = impl_->handles.find(HandleTable::fromHandle(thread));
    if (!object || object->kind != ObjectKind::Thread) {
        throw std::invalid_argument("setThreadName: not a thread handle");
    }
    impl_->setThreadName(static_cast<Thread&>(*object), name);
}

}  // namespace hosted
