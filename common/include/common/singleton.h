#pragma once

// Base classes of the process-wide objects (the encryption core, the wrapper's
// loaded module, each KMS connector).

namespace common_routines {

// Forbids copying and assignment of the derived class.
class NonCopyable {
public:
    NonCopyable(const NonCopyable&) = delete;
    NonCopyable& operator=(const NonCopyable&) = delete;

protected:
    NonCopyable() = default;
    ~NonCopyable() = default;
};

// One instance of T per process, created on first use (thread-safe function-local
// static) and destroyed at process exit. T derives from Singleton<T>; a T whose
// constructor is private declares `friend class common_routines::Singleton<T>;`.
template <typename T>
class Singleton : public NonCopyable {
public:
    static T& Instance() {
        static T instance;
        return instance;
    }

protected:
    Singleton() = default;
    ~Singleton() = default;
};

}  // namespace common_routines
