// A failed allocation ends the program with the runtime error report naming the byte count.
// The standard new handler cannot know the size, so the program's own operator new reports.

#include <cstdlib>
#include <new>

#include "platform/runtime.h"

void* operator new(std::size_t bytes) {
    for (;;) {
        if (void* memory = std::malloc(bytes != 0 ? bytes : 1)) {
            return memory;
        }
        std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) {
            vellicor::failFatally(vellicor::allocationFailureMessage(bytes));
        }
        handler();
    }
}

void* operator new[](std::size_t bytes) {
    return ::operator new(bytes);
}

void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete[](void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, std::size_t) noexcept {
    std::free(memory);
}
