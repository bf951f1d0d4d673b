// Objects made by CreateObject are destroyed only by their own Release, so that the
// library frees what it allocated; an Owned<I> calls it when it goes.
#pragma once

#include "Folimo.h"

#include <memory>

namespace folimo {

struct ReleaseObject {
    void operator()(IBase* object) const noexcept {
        if (object)
            object->Release();
    }
};

template <class I>
using Owned = std::unique_ptr<I, ReleaseObject>;

// A new object of `kind` (FOLIMO_ENGINE, ...) as the interface I; null when it could not
// be made.
template <class I>
Owned<I> createObject(int kind) {
    void* out = nullptr;
    CreateObject(kind, &out);
    return Owned<I>(static_cast<I*>(out));
}

} // namespace folimo
