/* A minimal runtime for benchmarks: the 65 operations of runtime/vessaruntime.h doing as little
 * as the contract allows, so that what a benchmark measures is the caller's overhead and not the
 * runtime's own work. Built by the benchmarks, as a libvessaruntime.so that a benchmark process
 * names in PYVESSARUNTIME_RUNTIME; the extension, the C floor and the ctypes binding then all
 * call this very library. The packaging check builds it too, as the stand-in for a runtime
 * installed on the system.
 *
 * Every string getter answers one text (24 units unless set otherwise). Result and async handles
 * are distinct values counted while live, so a benchmark can check that every caller releases
 * what it was given. Errors are static objects: only the first call of a string getter returns
 * one, and only when asked to (status 10, InsufficientBuffer, as a real runtime may answer).
 *
 * Control interface (VESSABENCH_*): the text, the size call's answer, whether asynchronous
 * operations complete inline or are held, delivery of held completions and of log lines from
 * one long-lived native thread that Python has never seen, and, for tests that record what a
 * runtime answered, the expiry of the tokens and a status the next auth result fails with. */
#include <pthread.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "vessaruntime.h"

#ifdef _WIN32
#define BENCH_API __declspec(dllexport)
#else
#define BENCH_API __attribute__((visibility("default")))
#endif

/* ---- errors ------------------------------------------------------------------------------ */

struct bench_error {
  int32_t status;
};
static struct bench_error insufficient_buffer = {10};
static struct bench_error unexpected = {0};
static struct bench_error scripted_failure;

#define AS_ERROR(e) ((VESSARUNTIME_ERROR_HANDLE)(void*)(e))

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_GetStatus(VESSARUNTIME_ERROR_HANDLE error, int32_t* status) {
  *status = error ? ((struct bench_error*)(void*)error)->status : 0;
  return NULL;
}
VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_GetErrorCode(VESSARUNTIME_ERROR_HANDLE error,
                                                    int64_t* errorCode) {
  (void)error;
  *errorCode = 0;
  return NULL;
}
VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_GetTag(VESSARUNTIME_ERROR_HANDLE error, int32_t* tag) {
  (void)error;
  *tag = 0;
  return NULL;
}
VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_GetContext(VESSARUNTIME_ERROR_HANDLE error, os_char* context,
                                                  int32_t* bufferSize) {
  (void)error;
  (void)context;
  *bufferSize = 0;
  return NULL;
}
VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_ReleaseError(VESSARUNTIME_ERROR_HANDLE error) {
  (void)error;
  return NULL;
}

/* ---- texts ------------------------------------------------------------------------------- */

#define MAX_TEXT 4096
static os_char text_units[MAX_TEXT + 1];
static int32_t text_length;
static int size_call_error;

static void set_default_text(void) {
  static const char ascii[] = "Benchmark Display Name24"; /* 24 units */
  text_length = (int32_t)(sizeof ascii - 1);
  for (int32_t i = 0; i < text_length; ++i) text_units[i] = (os_char)ascii[i];
  text_units[text_length] = 0;
}

/* The two-call protocol: a null buffer learns the size (and may be answered InsufficientBuffer),
 * a buffer of that size is filled with the text and its terminator. */
static VESSARUNTIME_ERROR_HANDLE write_text(os_char* buffer, int32_t* size) {
  if (!buffer) {
    *size = text_length + 1;
    return size_call_error ? AS_ERROR(&insufficient_buffer) : NULL;
  }
  if (*size < text_length + 1) {
    *size = text_length + 1;
    return AS_ERROR(&unexpected);
  }
  memcpy(buffer, text_units, (size_t)(text_length + 1) * sizeof(os_char));
  *size = text_length + 1;
  return NULL;
}

/* ---- handles ----------------------------------------------------------------------------- */

static atomic_long live_handles;
static atomic_ulong serial;

static void* new_handle(void) {
  atomic_fetch_add_explicit(&live_handles, 1, memory_order_relaxed);
  return (void*)(uintptr_t)(0x10000 +
                            16 * atomic_fetch_add_explicit(&serial, 1, memory_order_relaxed));
}
static VESSARUNTIME_ERROR_HANDLE release_counted(void* handle) {
  if (handle) atomic_fetch_sub_explicit(&live_handles, 1, memory_order_relaxed);
  return NULL;
}
static void* const some_handle = (void*)(uintptr_t)0x1000;

/* ---- lifecycle --------------------------------------------------------------------------- */

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_Startup(void) {
  return NULL;
}
void VESSARUNTIME_Shutdown(void) {}
VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_GetSsoPolicy(int32_t* policy) {
  *policy = 1;
  return NULL;
}
void VESSARUNTIME_SetIsPiiEnabled(int32_t enabled) {
  (void)enabled;
}

/* ---- accounts ---------------------------------------------------------------------------- */

#define ACCOUNT_GETTER(name)                                                           \
  VESSARUNTIME_ERROR_HANDLE name(VESSARUNTIME_ACCOUNT_HANDLE account, os_char* buffer, \
                                 int32_t* bufferSize) {                                \
    (void)account;                                                                     \
    return write_text(buffer, bufferSize);                                             \
  }
ACCOUNT_GETTER(VESSARUNTIME_GetAccountId)
ACCOUNT_GETTER(VESSARUNTIME_GetHomeAccountId)
ACCOUNT_GETTER(VESSARUNTIME_GetEnvironment)
ACCOUNT_GETTER(VESSARUNTIME_GetRealm)
ACCOUNT_GETTER(VESSARUNTIME_GetLocalAccountId)
ACCOUNT_GETTER(VESSARUNTIME_GetUserName)
ACCOUNT_GETTER(VESSARUNTIME_GetGivenName)
ACCOUNT_GETTER(VESSARUNTIME_GetFamilyName)
ACCOUNT_GETTER(VESSARUNTIME_GetMiddleName)
ACCOUNT_GETTER(VESSARUNTIME_GetDisplayName)
ACCOUNT_GETTER(VESSARUNTIME_GetAdditionalFieldsJson)
ACCOUNT_GETTER(VESSARUNTIME_GetHomeEnvironment)
ACCOUNT_GETTER(VESSARUNTIME_GetClientInfo)

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_ReleaseAccount(VESSARUNTIME_ACCOUNT_HANDLE account) {
  (void)account;
  return NULL;
}

/* ---- auth parameters --------------------------------------------------------------------- */

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CreateAuthParameters(
    const os_char* clientId, const os_char* authority,
    VESSARUNTIME_AUTH_PARAMETERS_HANDLE* authParameters) {
  (void)clientId;
  (void)authority;
  *authParameters = (VESSARUNTIME_AUTH_PARAMETERS_HANDLE)some_handle;
  return NULL;
}
#define PARAMETER_SETTER(name)                                                                  \
  VESSARUNTIME_ERROR_HANDLE name(VESSARUNTIME_AUTH_PARAMETERS_HANDLE p, const os_char* value) { \
    (void)p;                                                                                    \
    (void)value;                                                                                \
    return NULL;                                                                                \
  }
PARAMETER_SETTER(VESSARUNTIME_SetRequestedScopes)
PARAMETER_SETTER(VESSARUNTIME_SetRedirectUri)
PARAMETER_SETTER(VESSARUNTIME_SetDecodedClaims)
PARAMETER_SETTER(VESSARUNTIME_SetAccessTokenToRenew)
VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_SetPopParams(VESSARUNTIME_AUTH_PARAMETERS_HANDLE p,
                                                    const os_char* httpMethod,
                                                    const os_char* uriHost, const os_char* uriPath,
                                                    const os_char* nonce) {
  (void)p;
  (void)httpMethod;
  (void)uriHost;
  (void)uriPath;
  (void)nonce;
  return NULL;
}
VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_SetAdditionalParameter(VESSARUNTIME_AUTH_PARAMETERS_HANDLE p,
                                                              const os_char* key,
                                                              const os_char* value) {
  (void)p;
  (void)key;
  (void)value;
  return NULL;
}
VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_ReleaseAuthParameters(
    VESSARUNTIME_AUTH_PARAMETERS_HANDLE p) {
  (void)p;
  return NULL;
}

/* ---- results ----------------------------------------------------------------------------- */

static _Atomic int64_t token_expiry;

#define RESULT_TEXT(name, type)                                                       \
  VESSARUNTIME_ERROR_HANDLE name(type result, os_char* buffer, int32_t* bufferSize) { \
    (void)result;                                                                     \
    return write_text(buffer, bufferSize);                                            \
  }
#define RESULT_NO_ERROR(name, type)                                               \
  VESSARUNTIME_ERROR_HANDLE name(type result, VESSARUNTIME_ERROR_HANDLE* error) { \
    (void)result;                                                                 \
    *error = NULL;                                                                \
    return NULL;                                                                  \
  }
#define RESULT_RELEASE(name, type)              \
  VESSARUNTIME_ERROR_HANDLE name(type result) { \
    return release_counted((void*)result);      \
  }

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_GetAccount(VESSARUNTIME_AUTH_RESULT_HANDLE authResult,
                                                  VESSARUNTIME_ACCOUNT_HANDLE* account) {
  (void)authResult;
  *account = (VESSARUNTIME_ACCOUNT_HANDLE)some_handle;
  return NULL;
}
RESULT_TEXT(VESSARUNTIME_GetIdToken, VESSARUNTIME_AUTH_RESULT_HANDLE)
RESULT_TEXT(VESSARUNTIME_GetRawIdToken, VESSARUNTIME_AUTH_RESULT_HANDLE)
RESULT_TEXT(VESSARUNTIME_GetAccessToken, VESSARUNTIME_AUTH_RESULT_HANDLE)
RESULT_TEXT(VESSARUNTIME_GetGrantedScopes, VESSARUNTIME_AUTH_RESULT_HANDLE)
RESULT_TEXT(VESSARUNTIME_GetAuthorizationHeader, VESSARUNTIME_AUTH_RESULT_HANDLE)
RESULT_TEXT(VESSARUNTIME_GetTelemetryData, VESSARUNTIME_AUTH_RESULT_HANDLE)
VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_IsPopAuthorization(
    VESSARUNTIME_AUTH_RESULT_HANDLE authResult, int32_t* isPopAuthorization) {
  (void)authResult;
  *isPopAuthorization = 0;
  return NULL;
}
VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_GetAccessTokenExpiryTime(
    VESSARUNTIME_AUTH_RESULT_HANDLE authResult, int64_t* accessTokenExpiryTime) {
  (void)authResult;
  *accessTokenExpiryTime = atomic_load(&token_expiry);
  return NULL;
}
/* The auth result that fails with the scripted status: the one VESSABENCH_FailAuth counted down
 * to. */
static _Atomic(void*) failing_result;
static atomic_int auth_failure_countdown;
VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_GetError(VESSARUNTIME_AUTH_RESULT_HANDLE authResult,
                                                VESSARUNTIME_ERROR_HANDLE* error) {
  *error = authResult && (void*)authResult == atomic_load(&failing_result)
               ? AS_ERROR(&scripted_failure)
               : NULL;
  return NULL;
}
RESULT_RELEASE(VESSARUNTIME_ReleaseAuthResult, VESSARUNTIME_AUTH_RESULT_HANDLE)

RESULT_NO_ERROR(VESSARUNTIME_SignOutResult_GetError, VESSARUNTIME_SIGNOUT_RESULT_HANDLE)
RESULT_TEXT(VESSARUNTIME_SignOutResult_GetTelemetryData, VESSARUNTIME_SIGNOUT_RESULT_HANDLE)
RESULT_RELEASE(VESSARUNTIME_ReleaseSignOutResult, VESSARUNTIME_SIGNOUT_RESULT_HANDLE)

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_ReadAccountResult_GetAccount(
    VESSARUNTIME_READ_ACCOUNT_RESULT_HANDLE readAccountResult,
    VESSARUNTIME_ACCOUNT_HANDLE* account) {
  (void)readAccountResult;
  *account = (VESSARUNTIME_ACCOUNT_HANDLE)some_handle;
  return NULL;
}
RESULT_NO_ERROR(VESSARUNTIME_ReadAccountResult_GetError, VESSARUNTIME_READ_ACCOUNT_RESULT_HANDLE)
RESULT_TEXT(VESSARUNTIME_ReadAccountResult_GetTelemetryData,
            VESSARUNTIME_READ_ACCOUNT_RESULT_HANDLE)
RESULT_RELEASE(VESSARUNTIME_ReleaseReadAccountResult, VESSARUNTIME_READ_ACCOUNT_RESULT_HANDLE)

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_DiscoverAccountsResult_GetAccount(
    VESSARUNTIME_DISCOVER_ACCOUNTS_RESULT_HANDLE result, int32_t index,
    VESSARUNTIME_ACCOUNT_HANDLE* account) {
  (void)result;
  (void)index;
  *account = NULL;
  return NULL;
}
RESULT_NO_ERROR(VESSARUNTIME_DiscoverAccountsResult_GetError,
                VESSARUNTIME_DISCOVER_ACCOUNTS_RESULT_HANDLE)
RESULT_TEXT(VESSARUNTIME_DiscoverAccountsResult_GetTelemetryData,
            VESSARUNTIME_DISCOVER_ACCOUNTS_RESULT_HANDLE)
RESULT_RELEASE(VESSARUNTIME_ReleaseDiscoverAccountsResult,
               VESSARUNTIME_DISCOVER_ACCOUNTS_RESULT_HANDLE)

/* ---- asynchronous operations ------------------------------------------------------------- */

enum kind { AUTH, SIGNOUT, READ_ACCOUNT, DISCOVER };

struct completion {
  enum kind kind;
  void* routine;
  void* context;
};

static int hold_completions;
static pthread_mutex_t held_lock = PTHREAD_MUTEX_INITIALIZER;
static struct completion* held;
static size_t held_count, held_capacity;

static void complete(struct completion c) {
  void* result = new_handle();
  switch (c.kind) {
    case AUTH:
      if (atomic_fetch_sub(&auth_failure_countdown, 1) == 1) atomic_store(&failing_result, result);
      ((VESSARUNTIME_AUTH_COMPLETION_ROUTINE)c.routine)((VESSARUNTIME_AUTH_RESULT_HANDLE)result,
                                                        c.context);
      break;
    case SIGNOUT:
      ((VESSARUNTIME_SIGNOUT_COMPLETION_ROUTINE)c.routine)(
          (VESSARUNTIME_SIGNOUT_RESULT_HANDLE)result, c.context);
      break;
    case READ_ACCOUNT:
      ((VESSARUNTIME_READ_ACCOUNT_COMPLETION_ROUTINE)c.routine)(
          (VESSARUNTIME_READ_ACCOUNT_RESULT_HANDLE)result, c.context);
      break;
    case DISCOVER:
      ((VESSARUNTIME_DISCOVER_ACCOUNTS_COMPLETION_ROUTINE)c.routine)(
          (VESSARUNTIME_DISCOVER_ACCOUNTS_RESULT_HANDLE)result, c.context);
      break;
  }
}

static VESSARUNTIME_ERROR_HANDLE start(enum kind kind, void* routine, void* context,
                                       VESSARUNTIME_ASYNC_HANDLE* asyncHandle) {
  *asyncHandle = (VESSARUNTIME_ASYNC_HANDLE)new_handle();
  struct completion c = {kind, routine, context};
  if (!hold_completions) {
    complete(c);
    return NULL;
  }
  pthread_mutex_lock(&held_lock);
  if (held_count == held_capacity) {
    size_t capacity = held_capacity ? held_capacity * 2 : 1024;
    struct completion* grown = realloc(held, capacity * sizeof *held);
    if (!grown) {
      pthread_mutex_unlock(&held_lock);
      return AS_ERROR(&unexpected);
    }
    held = grown;
    held_capacity = capacity;
  }
  held[held_count++] = c;
  pthread_mutex_unlock(&held_lock);
  return NULL;
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_SignInAsync(VESSARUNTIME_WINDOW_HANDLE w,
                                                   VESSARUNTIME_AUTH_PARAMETERS_HANDLE p,
                                                   const os_char* correlationId,
                                                   const os_char* accountHint,
                                                   VESSARUNTIME_AUTH_COMPLETION_ROUTINE callback,
                                                   void* callbackData,
                                                   VESSARUNTIME_ASYNC_HANDLE* asyncHandle) {
  (void)w;
  (void)p;
  (void)correlationId;
  (void)accountHint;
  return start(AUTH, (void*)callback, callbackData, asyncHandle);
}
VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_SignInSilentlyAsync(
    VESSARUNTIME_AUTH_PARAMETERS_HANDLE p, const os_char* correlationId,
    VESSARUNTIME_AUTH_COMPLETION_ROUTINE callback, void* callbackData,
    VESSARUNTIME_ASYNC_HANDLE* asyncHandle) {
  (void)p;
  (void)correlationId;
  return start(AUTH, (void*)callback, callbackData, asyncHandle);
}
VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_SignInInteractivelyAsync(
    VESSARUNTIME_WINDOW_HANDLE w, VESSARUNTIME_AUTH_PARAMETERS_HANDLE p,
    const os_char* correlationId, const os_char* accountHint,
    VESSARUNTIME_AUTH_COMPLETION_ROUTINE callback, void* callbackData,
    VESSARUNTIME_ASYNC_HANDLE* asyncHandle) {
  (void)w;
  (void)p;
  (void)correlationId;
  (void)accountHint;
  return start(AUTH, (void*)callback, callbackData, asyncHandle);
}
VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_AcquireTokenSilentlyAsync(
    VESSARUNTIME_AUTH_PARAMETERS_HANDLE p, const os_char* correlationId,
    VESSARUNTIME_ACCOUNT_HANDLE account, VESSARUNTIME_AUTH_COMPLETION_ROUTINE callback,
    void* callbackData, VESSARUNTIME_ASYNC_HANDLE* asyncHandle) {
  (void)p;
  (void)correlationId;
  (void)account;
  return start(AUTH, (void*)callback, callbackData, asyncHandle);
}
VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_AcquireTokenInteractivelyAsync(
    VESSARUNTIME_WINDOW_HANDLE w, VESSARUNTIME_AUTH_PARAMETERS_HANDLE p,
    const os_char* correlationId, VESSARUNTIME_ACCOUNT_HANDLE account,
    VESSARUNTIME_AUTH_COMPLETION_ROUTINE callback, void* callbackData,
    VESSARUNTIME_ASYNC_HANDLE* asyncHandle) {
  (void)w;
  (void)p;
  (void)correlationId;
  (void)account;
  return start(AUTH, (void*)callback, callbackData, asyncHandle);
}
VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_ReadAccountByIdAsync(
    const os_char* accountId, const os_char* correlationId,
    VESSARUNTIME_READ_ACCOUNT_COMPLETION_ROUTINE callback, void* callbackData,
    VESSARUNTIME_ASYNC_HANDLE* asyncHandle) {
  (void)accountId;
  (void)correlationId;
  return start(READ_ACCOUNT, (void*)callback, callbackData, asyncHandle);
}
VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_SignOutSilentlyAsync(
    const os_char* clientId, const os_char* correlationId, VESSARUNTIME_ACCOUNT_HANDLE account,
    VESSARUNTIME_SIGNOUT_COMPLETION_ROUTINE callback, void* callbackData,
    VESSARUNTIME_ASYNC_HANDLE* asyncHandle) {
  (void)clientId;
  (void)correlationId;
  (void)account;
  return start(SIGNOUT, (void*)callback, callbackData, asyncHandle);
}
VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_DiscoverAccountsAsync(
    const os_char* clientId, const os_char* correlationId,
    VESSARUNTIME_DISCOVER_ACCOUNTS_COMPLETION_ROUTINE callback, void* callbackData,
    VESSARUNTIME_ASYNC_HANDLE* asyncHandle) {
  (void)clientId;
  (void)correlationId;
  return start(DISCOVER, (void*)callback, callbackData, asyncHandle);
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CancelAsyncOperation(VESSARUNTIME_ASYNC_HANDLE asyncHandle) {
  (void)asyncHandle;
  return NULL;
}
VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_ReleaseAsyncHandle(VESSARUNTIME_ASYNC_HANDLE asyncHandle) {
  return release_counted((void*)asyncHandle);
}

/* ---- logging ----------------------------------------------------------------------------- */

#define MAX_LOG_ROUTINES 8
static pthread_mutex_t log_lock = PTHREAD_MUTEX_INITIALIZER;
static VESSARUNTIME_LOG_ROUTINE log_routines[MAX_LOG_ROUTINES];
static void* log_contexts[MAX_LOG_ROUTINES];

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_RegisterLogCallback(
    VESSARUNTIME_LOG_ROUTINE callback, void* callbackData,
    VESSARUNTIME_LOG_CALLBACK_HANDLE* callbackHandle) {
  pthread_mutex_lock(&log_lock);
  for (int i = 0; i < MAX_LOG_ROUTINES; ++i) {
    if (!log_routines[i]) {
      log_routines[i] = callback;
      log_contexts[i] = callbackData;
      *callbackHandle = (VESSARUNTIME_LOG_CALLBACK_HANDLE)(uintptr_t)(i + 1);
      pthread_mutex_unlock(&log_lock);
      return NULL;
    }
  }
  pthread_mutex_unlock(&log_lock);
  return AS_ERROR(&unexpected);
}
VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_ReleaseLogCallbackHandle(
    VESSARUNTIME_LOG_CALLBACK_HANDLE callbackHandle) {
  uintptr_t i = (uintptr_t)callbackHandle - 1;
  pthread_mutex_lock(&log_lock);
  if (i < MAX_LOG_ROUTINES) log_routines[i] = NULL;
  pthread_mutex_unlock(&log_lock);
  return NULL;
}

/* ---- the delivery thread ----------------------------------------------------------------- */

/* One native thread, started on first use and kept for the life of the process like a real
 * runtime's thread pool, so a caller that keeps a thread state per runtime thread pays for it
 * once. It delivers held completions or emits log lines on request; the requester waits. */
enum request { NONE, DELIVER, EMIT_LOGS };
static pthread_mutex_t thread_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t thread_wake = PTHREAD_COND_INITIALIZER;
static pthread_cond_t thread_done = PTHREAD_COND_INITIALIZER;
static enum request pending_request;
static int32_t log_count;
static int thread_started;

static const os_char log_message[] = u"benchmark log line from a runtime thread";

static void deliver_held(void) {
  pthread_mutex_lock(&held_lock);
  struct completion* batch = held;
  size_t count = held_count;
  held = NULL;
  held_count = held_capacity = 0;
  pthread_mutex_unlock(&held_lock);
  for (size_t i = 0; i < count; ++i) complete(batch[i]);
  free(batch);
}

static void emit_logs(int32_t count) {
  VESSARUNTIME_LOG_ROUTINE routines[MAX_LOG_ROUTINES];
  void* contexts[MAX_LOG_ROUTINES];
  pthread_mutex_lock(&log_lock);
  memcpy(routines, log_routines, sizeof routines);
  memcpy(contexts, log_contexts, sizeof contexts);
  pthread_mutex_unlock(&log_lock);
  for (int32_t n = 0; n < count; ++n) {
    for (int i = 0; i < MAX_LOG_ROUTINES; ++i) {
      if (routines[i]) routines[i](log_message, 3, contexts[i]);
    }
  }
}

static void* delivery_thread(void* unused) {
  (void)unused;
  pthread_mutex_lock(&thread_lock);
  for (;;) {
    while (pending_request == NONE) pthread_cond_wait(&thread_wake, &thread_lock);
    enum request request = pending_request;
    int32_t count = log_count;
    pthread_mutex_unlock(&thread_lock);
    if (request == DELIVER) deliver_held();
    if (request == EMIT_LOGS) emit_logs(count);
    pthread_mutex_lock(&thread_lock);
    pending_request = NONE;
    pthread_cond_broadcast(&thread_done);
  }
  return NULL;
}

static int run_on_delivery_thread(enum request request, int32_t count) {
  pthread_mutex_lock(&thread_lock);
  if (!thread_started) {
    pthread_t thread;
    if (pthread_create(&thread, NULL, delivery_thread, NULL) != 0) {
      pthread_mutex_unlock(&thread_lock);
      return -1;
    }
    pthread_detach(thread);
    thread_started = 1;
  }
  while (pending_request != NONE) pthread_cond_wait(&thread_done, &thread_lock);
  pending_request = request;
  log_count = count;
  pthread_cond_signal(&thread_wake);
  while (pending_request != NONE) pthread_cond_wait(&thread_done, &thread_lock);
  pthread_mutex_unlock(&thread_lock);
  return 0;
}

/* ---- control ----------------------------------------------------------------------------- */

BENCH_API void VESSABENCH_SetText(const uint16_t* units, int32_t count) {
  if (count > MAX_TEXT) count = MAX_TEXT;
  for (int32_t i = 0; i < count; ++i) text_units[i] = units[i];
  text_units[count] = 0;
  text_length = count;
}
BENCH_API void VESSABENCH_SetTokenExpiry(int64_t unix_seconds) {
  atomic_store(&token_expiry, unix_seconds);
}
/* The auth completion after the next `after` ones fails with `status`. */
BENCH_API void VESSABENCH_FailAuth(int32_t status, int32_t after) {
  scripted_failure.status = status;
  atomic_store(&auth_failure_countdown, after + 1);
}
BENCH_API void VESSABENCH_SetSizeCallError(int32_t on) {
  size_call_error = on;
}
BENCH_API void VESSABENCH_SetHoldCompletions(int32_t on) {
  hold_completions = on;
}
BENCH_API int64_t VESSABENCH_HeldCount(void) {
  pthread_mutex_lock(&held_lock);
  size_t count = held_count;
  pthread_mutex_unlock(&held_lock);
  return (int64_t)count;
}
BENCH_API int32_t VESSABENCH_DeliverHeld(void) {
  return run_on_delivery_thread(DELIVER, 0);
}
BENCH_API int32_t VESSABENCH_EmitLogs(int32_t count) {
  return run_on_delivery_thread(EMIT_LOGS, count);
}
BENCH_API int64_t VESSABENCH_LiveHandles(void) {
  return atomic_load(&live_handles);
}

__attribute__((constructor)) static void initialise(void) {
  set_default_text();
}
