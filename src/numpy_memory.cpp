// numpy's side of ResultMemory: a data memory handler whose allocations are
// the blocks of result_memory.hpp. numpy keeps the handler with each array it
// allocated, and frees or resizes the array's data through it.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL kestrine_ARRAY_API
#include <numpy/arrayobject.h>

#include <cstring>
#include <limits>
#include <new>

#include "arrays.hpp"

namespace kestrine {

// One per call that opened an arena; numpy's capsule owns it, and every array
// it allocated holds the capsule, so it outlives them all.
struct Handler {
    PyDataMem_Handler numpy;
};

namespace {

constexpr const char* kCapsuleName = "mem_handler";

void* handler_malloc(void* ctx, size_t size) { return allocate_block(static_cast<Arena*>(ctx), size); }

void* handler_calloc(void* ctx, size_t count, size_t size) {
    if (size != 0 && count > std::numeric_limits<size_t>::max() / size) {
        return nullptr;
    }
    void* block = allocate_block(static_cast<Arena*>(ctx), count * size);
    if (block != nullptr) {
        std::memset(block, 0, count * size);
    }
    return block;
}

// Resizing and freeing find the arena in the block's header, never in ctx:
// the arena may be gone by the time numpy resizes or frees a heap block.
void* handler_realloc(void*, void* block, size_t size) { return resize_block(block, size); }

void handler_free(void*, void* block, size_t) { release_block(block); }

void destroy_handler(PyObject* capsule) {
    delete static_cast<Handler*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

}  // namespace

ResultMemory::ResultMemory(std::size_t bytes, std::size_t arrays) : scope_(bytes, arrays) {
    if (scope_.arena() == nullptr) {
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
    handler->numpy.allocator = {scope_.arena(), handler_malloc, handler_calloc, handler_realloc,
                                handler_free};
    PyObject* capsule = PyCapsule_New(&handler->numpy, kCapsuleName, destroy_handler);
    if (capsule == nullptr) {
        delete handler;
        PyErr_Clear();
        return;
    }
    previous_ = PyDataMem_SetHandler(capsule);
    Py_DECREF(capsule);  // the context variable holds it now, or nothing does
    if (previous_ == nullptr) {
        PyErr_Clear();
        return;
    }
    handler_ = handler;
}

ResultMemory::~ResultMemory() {
    if (previous_ == nullptr) {
        return;
    }
    // Arrays of this call keep the handler; from now on it allocates from the
    // heap, since the arena takes no blocks once its scope has closed.
    handler_->numpy.allocator.ctx = nullptr;
    PyObject* ours = PyDataMem_SetHandler(previous_);
    if (ours == nullptr) {
        PyErr_Clear();
    }
    Py_XDECREF(ours);
    Py_DECREF(previous_);
}

}  // namespace kestrine
