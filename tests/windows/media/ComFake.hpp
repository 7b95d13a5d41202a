#pragma once
// Reference counting and QueryInterface of the single-interface fakes: the object answers for
// IUnknown and for every interface id its answers() accepts, always as Interface.

#include <unknwn.h>

#include <atomic>

namespace murel::test {

template <class Interface>
class ComFake : public Interface {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (riid != __uuidof(IUnknown) && !answers(riid)) return E_NOINTERFACE;
        *out = static_cast<Interface*>(this);
        this->AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }

protected:
    virtual ~ComFake() = default;
    virtual bool answers(REFIID riid) const { return riid == __uuidof(Interface); }

private:
    std::atomic<ULONG> references_{1};
};

}  // namespace murel::test
