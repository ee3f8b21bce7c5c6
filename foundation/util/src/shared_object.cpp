#include "util/shared_object.h"

#include <new>
#include <thread>

#include "platform/event.h"
#include "platform/types.h"

namespace {

std::atomic<long> g_objectCount{0};
// Created with the first object, signalled when the count falls to 0, never reset or closed:
// once every object is gone it stays signalled for the rest of the process.
std::atomic<platform::Event*> g_allIdleEvent{nullptr};
std::mutex g_allIdleCreateLock;

void CreateAllIdleEventOnce() {
    std::lock_guard<std::mutex> guard(g_allIdleCreateLock);
    if (g_allIdleEvent.load() == nullptr) {
        g_allIdleEvent.store(new (std::nothrow) platform::Event(true, false));
    }
}

}  // namespace

SharedObject::SharedObject() : SharedObject("Unknown") {}

SharedObject::SharedObject(const char* name) : m_name(name) {
    if (++g_objectCount == 1 && g_allIdleEvent.load() == nullptr) CreateAllIdleEventOnce();
    m_lock = new (std::nothrow) std::recursive_mutex;
    m_idleEvent = new (std::nothrow) platform::Event(true, false);
}

SharedObject::~SharedObject() {
    delete m_lock;
    m_lock = nullptr;
    delete m_idleEvent;
    m_idleEvent = nullptr;
    if (--g_objectCount == 0) {
        if (platform::Event* all = g_allIdleEvent.load()) all->Set();
    }
}

unsigned long SharedObject::AddRef() { return static_cast<unsigned long>(++m_refCount); }

unsigned long SharedObject::Release() {
    long count = --m_refCount;
    if (count != 0) return static_cast<unsigned long>(count);
    if (m_waitFlag.load() != 0) {
        // Whoever set the wait flag finishes the object.
        if (m_idleEvent) m_idleEvent->Set();
        return 0;
    }
    Shutdown(0);
    return 0;
}

int SharedObject::IsIdle() { return m_refCount.load() == 0 ? 1 : 0; }

void SharedObject::WaitIdle() {
    m_waitFlag.exchange(1);
    while (m_refCount.load() != 0) {
        if (!m_idleEvent || m_idleEvent->Wait(platform::kInfinite) == platform::kWaitFailed) {
            // Without a usable event all that is left is to poll.
            std::this_thread::yield();
        }
    }
}

platform::Event* SharedObject::GetIdleEvent() {
    m_waitFlag.exchange(1);
    return m_idleEvent;
}

void SharedObject::Shutdown(int async) {
    if (async == 1) {
        try {
            std::thread([this] { RunShutdownSequence(); }).detach();
            return;
        } catch (const std::system_error&) {
            // No thread to be had: finish the object here rather than leak it.
        }
    }
    RunShutdownSequence();
}

void SharedObject::RunShutdownSequence() {
    PreShutdown();
    WaitIdle();
    PostShutdown();
    delete this;
}

void SharedObject::Invalid() { m_validFlag.exchange(0); }

int SharedObject::IsValid() {
    return (m_name != nullptr && m_lock != nullptr && m_idleEvent != nullptr && m_idleEvent->Valid() &&
            m_refCount.load() >= 0 && m_validFlag.load() == 1)
               ? 1
               : 0;
}

void SharedObject::PreShutdown() {}
void SharedObject::PostShutdown() {}

void SharedObject::Lock() {
    if (m_lock) m_lock->lock();
}

void SharedObject::Unlock() {
    if (m_lock) m_lock->unlock();
}

const char* SharedObject::Name() { return m_name ? m_name : "Unknown"; }

void SharedObject::WaitAllIdle() {
    platform::Event* all = g_allIdleEvent.load();
    if (all) all->Wait(platform::kInfinite);
}

TwCriticalSection::~TwCriticalSection() {
    delete m_section;
    m_section = nullptr;
}

unsigned long TwCriticalSection::Initialize() {
    if (m_section) return 1;
    m_section = new (std::nothrow) std::recursive_mutex;
    return m_section ? 1 : 0;
}

void TwCriticalSection::Enter() {
    if (m_section) m_section->lock();
}

void TwCriticalSection::Leave() {
    if (m_section) m_section->unlock();
}

Synchronizer::Synchronizer(TwCriticalSection* section) {
    if (section && section->m_section) {
        m_section = section->m_section;
        m_section->lock();
    }
}

Synchronizer::Synchronizer(SharedObject* object) : m_object(object) {
    if (m_object) m_object->Lock();
}

Synchronizer::~Synchronizer() {
    if (m_section) {
        m_section->unlock();
    } else if (m_object) {
        m_object->Unlock();
    }
}
