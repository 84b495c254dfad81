/* Holds a thread inside the deletion of its interpreter's last thread state, between the state
 * leaving the interpreter's list and its reset for reuse: CPython frees the state's frame stack
 * there, through the arena allocator wrapped here. The hold lasts until a thread makes a state
 * in that interpreter or in the main one (as one does to take the lock the held thread has), or
 * for two seconds. */
#include <Python.h>
#include <pthread.h>
#include <time.h>

static PyObjectArenaAllocator base;
static PyInterpreterState* _Atomic held;
static pthread_t holder;

static void release(void* ctx, void* ptr, size_t size) {
  PyInterpreterState* interp = held;
  if (interp && pthread_equal(pthread_self(), holder) && !PyInterpreterState_ThreadHead(interp)) {
    held = NULL;
    PyThreadState* main_head = PyInterpreterState_ThreadHead(PyInterpreterState_Main());
    for (int ms = 0; ms < 2000 && !PyInterpreterState_ThreadHead(interp) &&
                     PyInterpreterState_ThreadHead(PyInterpreterState_Main()) == main_head;
         ++ms)
      nanosleep(&(struct timespec){0, 1000000}, NULL);
  }
  base.free(ctx, ptr, size);
}

/* Called with the lock held (ctypes.PyDLL), in the interpreter whose next deletion is held. */
void hold_last_state_deletion(void) {
  PyObject_GetArenaAllocator(&base);
  PyObject_SetArenaAllocator(&(PyObjectArenaAllocator){base.ctx, base.alloc, release});
  holder = pthread_self();
  held = PyInterpreterState_Get();
}
