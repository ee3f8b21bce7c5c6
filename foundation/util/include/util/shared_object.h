// Reference-counted shared objects, their smart pointer, and the scoped lock over either a shared
// object or a plain critical section.
#pragma once
#include <atomic>
#include <mutex>
#include <type_traits>

namespace platform {
class Event;
}

// Base of every long-lived object that several threads hand to each other.
//
// Ownership: a new object has no reference; the first SharedObjectPtr takes one. When the last
// reference goes, the releasing thread runs the shutdown sequence (PreShutdown, wait for idle,
// PostShutdown, delete) -- unless somebody called WaitIdle/GetIdleEvent, in which case Release
// only signals the idle event and that caller finishes the object.
// Thread-safety: AddRef/Release/IsIdle/IsValid/Invalid from any thread without the lock.
// Lock/Unlock guard the members of derived classes (recursive).
// Errors: none reported; IsValid is the only health test.
class SharedObject {
public:
    SharedObject();                           // named "Unknown"
    explicit SharedObject(const char* name);  // the pointer is kept, not the text
    virtual ~SharedObject();
    SharedObject(const SharedObject&) = delete;
    SharedObject& operator=(const SharedObject&) = delete;

    unsigned long AddRef();   // the new count
    unsigned long Release();  // the new count; 0 when this was the last reference
    int IsIdle();             // 1 when the count is 0

    // Sets the wait flag and waits (without limit) until the count is 0.
    void WaitIdle();
    // Sets the wait flag and hands out the idle event (manual reset, never reset once set) for a
    // caller that waits itself. Owned by the object.
    platform::Event* GetIdleEvent();

    // async 1: run the shutdown sequence on a new (detached) thread; otherwise on this one.
    void Shutdown(int async);

    void Invalid();
    int IsValid();

    virtual void PreShutdown();
    virtual void PostShutdown();
    virtual void Lock();
    virtual void Unlock();

    const char* Name();

    // Waits without limit until every SharedObject of the process has been destroyed; returns at
    // once when none was ever created.
    static void WaitAllIdle();

private:
    void RunShutdownSequence();

    const char* m_name;
    std::recursive_mutex* m_lock;
    std::atomic<int> m_waitFlag{0};
    std::atomic<long> m_refCount{0};
    platform::Event* m_idleEvent;
    std::atomic<int> m_validFlag{1};
};

// Holds one reference to a SharedObject (or derived) for as long as it points at it.
// Not thread-safe itself: one pointer variable belongs to one thread at a time.
template <class T>
class SharedObjectPtr {
public:
    SharedObjectPtr() = default;
    SharedObjectPtr(T* object) : m_ptr(object) {  // NOLINT(google-explicit-constructor)
        if (m_ptr) m_ptr->AddRef();
    }
    SharedObjectPtr(const SharedObjectPtr& other) : SharedObjectPtr(other.m_ptr) {}
    template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    SharedObjectPtr(const SharedObjectPtr<U>& other) : SharedObjectPtr(other.get()) {}  // NOLINT
    ~SharedObjectPtr() {
        if (m_ptr) m_ptr->Release();
    }

    // The new reference is taken before the old one goes, so self-assignment is safe.
    SharedObjectPtr& operator=(T* object) {
        if (object) object->AddRef();
        T* old = m_ptr;
        m_ptr = object;
        if (old) old->Release();
        return *this;
    }
    SharedObjectPtr& operator=(const SharedObjectPtr& other) { return *this = other.m_ptr; }

    T* get() const { return m_ptr; }
    T* operator->() const { return m_ptr; }
    T& operator*() const { return *m_ptr; }
    explicit operator bool() const { return m_ptr != nullptr; }

private:
    T* m_ptr = nullptr;
};

// A holder of one heap-allocated recursive critical section (absent until Initialize).
// Enter/Leave on an uninitialised holder do nothing.
class TwCriticalSection {
public:
    TwCriticalSection() = default;
    ~TwCriticalSection();
    TwCriticalSection(const TwCriticalSection&) = delete;
    TwCriticalSection& operator=(const TwCriticalSection&) = delete;

    unsigned long Initialize();  // 1, or 0 when no memory
    void Enter();
    void Leave();

private:
    friend class Synchronizer;
    std::recursive_mutex* m_section = nullptr;
};

// Scoped lock: enters on construction, leaves on destruction. A null critical section, or one
// that holds no lock, makes it do nothing.
class Synchronizer {
public:
    explicit Synchronizer(TwCriticalSection* section);
    explicit Synchronizer(SharedObject* object);
    ~Synchronizer();
    Synchronizer(const Synchronizer&) = delete;
    Synchronizer& operator=(const Synchronizer&) = delete;

private:
    std::recursive_mutex* m_section = nullptr;
    SharedObject* m_object = nullptr;
};
