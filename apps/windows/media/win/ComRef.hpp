#pragma once
// An owning reference to a COM object: released when the holder goes, AddRef on copy.

#include <unknwn.h>

#include <cstddef>
#include <utility>

namespace murel::win {

template <class T>
class ComRef {
public:
    ComRef() = default;
    ComRef(std::nullptr_t) {}
    ComRef(const ComRef& other) : object_(other.object_) {
        if (object_) object_->AddRef();
    }
    ComRef(ComRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    ~ComRef() { reset(); }

    ComRef& operator=(ComRef other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }

    // Takes over a reference the caller already owns (an out-parameter filled by a COM call).
    static ComRef adopt(T* object) {
        ComRef ref;
        ref.object_ = object;
        return ref;
    }
    // Adds a reference of its own to an object the caller only borrows.
    static ComRef share(T* object) {
        if (object) object->AddRef();
        return adopt(object);
    }

    void reset() {
        if (T* object = std::exchange(object_, nullptr)) object->Release();
    }
    // For out-parameters: drops the current object first.
    T** put() {
        reset();
        return &object_;
    }
    void** putVoid() { return reinterpret_cast<void**>(put()); }
    T* detach() { return std::exchange(object_, nullptr); }

    T* get() const { return object_; }
    T* operator->() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }

    // QueryInterface into another holder; the HRESULT is the caller's to check.
    template <class U>
    HRESULT query(ComRef<U>& out) const {
        if (!object_) return E_POINTER;
        return object_->QueryInterface(__uuidof(U), out.putVoid());
    }

private:
    T* object_ = nullptr;
};

}  // namespace murel::win
