// numpy's side of ResultMemory: a data memory handler whose allocations are
// blocks of one Arena (result_memory.hpp). numpy keeps the handler with each
// array it allocated and frees or resizes the array's data through it; the
// handler owns the arena, so the mapping goes when the last array does.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL kestrine_ARRAY_API
#include <numpy/arrayobject.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "arrays.hpp"

namespace kestrine {

struct Handler {
    PyDataMem_Handler numpy;
    std::unique_ptr<Arena> arena;
    bool carving = true;  // only while the call creates its results
};

namespace {

constexpr const char* kCapsuleName = "mem_handler";

void* handler_malloc(void* ctx, size_t size) {
    auto* handler = static_cast<Handler*>(ctx);
    if (handler->carving) {
        if (void* block = handler->arena->carve(size)) {
            return block;
        }
    }
    return heap_block(size);
}

void* handler_calloc(void* ctx, size_t count, size_t size) {
    if (size != 0 && count > std::numeric_limits<size_t>::max() / size) {
        return nullptr;
    }
    void* block = handler_malloc(ctx, count * size);
    if (block != nullptr) {
        std::memset(block, 0, count * size);
    }
    return block;
}

void* handler_realloc(void* ctx, void* block, size_t size) {
    Arena& arena = *static_cast<Handler*>(ctx)->arena;
    if (block == nullptr) {
        return heap_block(size);
    }
    const bool in_arena = arena.holds(block);
    if (in_arena && arena.resize_in_place(block, size)) {
        return block;
    }
    void* moved = heap_block(size);
    if (moved == nullptr) {
        return nullptr;
    }
    const size_t held = in_arena ? arena.size_of(block) : heap_block_size(block);
    std::memcpy(moved, block, std::min(held, size));
    if (in_arena) {
        arena.release(block);
    } else {
        release_heap_block(block);
    }
    return moved;
}

void handler_free(void* ctx, void* block, size_t) {
    Arena& arena = *static_cast<Handler*>(ctx)->arena;
    if (block != nullptr && arena.holds(block)) {
        arena.release(block);
    } else {
        release_heap_block(block);
    }
}

void destroy_handler(PyObject* capsule) {
    auto* numpy = static_cast<PyDataMem_Handler*>(PyCapsule_GetPointer(capsule, kCapsuleName));
    delete static_cast<Handler*>(numpy->allocator.ctx);
}

}  // namespace

ResultMemory::ResultMemory(std::size_t bytes, std::size_t arrays) {
    std::unique_ptr<Arena> arena = Arena::open(bytes, arrays);
    if (arena == nullptr) {
        return;
    }
    if (PyArray_ImportNumPyAPI() < 0) {
        PyErr_Clear();
        return;
    }
    auto* handler = new (std::nothrow) Handler{};
    if (handler == nullptr) {
        return;
    }
    std::strncpy(handler->numpy.name, "native_kestrine_result_arena", sizeof handler->numpy.name - 1);
    handler->numpy.version = 1;
    handler->numpy.allocator = {handler, handler_malloc, handler_calloc, handler_realloc, handler_free};
    handler->arena = std::move(arena);
    PyObject* capsule = PyCapsule_New(&handler->numpy, kCapsuleName, destroy_handler);
    if (capsule == nullptr) {
        delete handler;
        PyErr_Clear();
        return;
    }
    previous_ = PyDataMem_SetHandler(capsule);
    handler_ = handler;
    Py_DECREF(capsule);  // the context variable holds it now, or nothing does
    if (previous_ == nullptr) {
        handler_ = nullptr;
        PyErr_Clear();
    }
}

ResultMemory::~ResultMemory() {
    if (previous_ == nullptr) {
        return;
    }
    // The arrays of this call keep the handler; anything numpy allocates
    // through it later comes from the heap.
    handler_->carving = false;
    PyObject* ours = PyDataMem_SetHandler(previous_);
    if (ours == nullptr) {
        PyErr_Clear();
    }
    Py_XDECREF(ours);
    Py_DECREF(previous_);
}

}  // namespace kestrine
