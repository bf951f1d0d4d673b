// The base of every engine class over its interface: Release destroys the object
// inside the library that made it, so memory is freed by the allocator that gave it.
#pragma once

template <class I>
class CBase : public I {
public:
    CBase() = default;
    CBase(const CBase&) = default;
    CBase& operator=(const CBase&) = default;
    void Release() noexcept override { delete this; }
    virtual ~CBase() = default;
};

// The watermark classes' name for the same base.
template <class I>
using IBaseImpl = CBase<I>;
