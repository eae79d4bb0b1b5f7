// operator new and delete on the process heap. The stub is built without
// exceptions; the runtime's own operator new would drag in the exception
// machinery of libstdc++ only to throw bad_alloc. Here a failed allocation
// gives null. The installer allocates with new (std::nothrow) and checks the
// result: after a plain new the compiler may take the result as never null
// and drop the check.
#include <windows.h>

#include <new>

void* operator new(size_t size) { return HeapAlloc(GetProcessHeap(), 0, size ? size : 1); }
void* operator new[](size_t size) { return HeapAlloc(GetProcessHeap(), 0, size ? size : 1); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return operator new(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return operator new(size); }
void operator delete(void* p) noexcept {
  if (p) HeapFree(GetProcessHeap(), 0, p);
}
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete(void* p, size_t) noexcept { operator delete(p); }
void operator delete[](void* p, size_t) noexcept { operator delete(p); }
