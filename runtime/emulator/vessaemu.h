/*
 * vessaemu: the control interface of the emulated runtime (libvessaruntime.so).
 *
 * Tests, the demo and application developers script the emulator through these calls; the
 * Python wrapper is pyvessaruntime/emulator.py. Texts are UTF-16 units with an explicit length so
 * that absent values, embedded zeros and invalid sequences can all be expressed. Memory the
 * emulator hands out (char16_t** and char** results) is freed with VESSAEMU_Free.
 *
 * No call lets an exception out. One that fails inside the emulator (out of memory, say) answers
 * VESSAEMU_FAILED where it returns a number, VESSAEMU_FAILED_HANDLE where it returns a handle
 * value, and null where it returns a name.
 */
#ifndef VESSAEMU_H
#define VESSAEMU_H

#include <stdint.h>

#ifdef _WIN32
#define VESSAEMU_API __declspec(dllexport)
#else
#define VESSAEMU_API __attribute__((visibility("default")))
#endif

#define VESSAEMU_FAILED (-1000)
#define VESSAEMU_FAILED_HANDLE UINT64_MAX

#ifdef __cplusplus
typedef char16_t vessaemu_unit;
extern "C" {
#else
#include <uchar.h>
typedef char16_t vessaemu_unit;
#endif

/* A text: `length` units at `units`; length < 0 (or null units) means "no value". */
typedef struct VESSAEMU_TEXT {
  const vessaemu_unit* units;
  int32_t length;
} VESSAEMU_TEXT;

/* An error a result carries; present == 0 means none. */
typedef struct VESSAEMU_ERROR_SPEC {
  int32_t present;
  int32_t status;
  int64_t code;
  int32_t tag;
  VESSAEMU_TEXT context;
} VESSAEMU_ERROR_SPEC;

/* Accounts are named by the key they were added under (VESSAEMU_AddAccount). */
typedef struct VESSAEMU_AUTH_RESULT_SPEC {
  VESSAEMU_TEXT account_key; /* no value: the result has no account */
  VESSAEMU_TEXT id_token;
  VESSAEMU_TEXT raw_id_token;
  VESSAEMU_TEXT access_token;
  VESSAEMU_TEXT granted_scopes;
  VESSAEMU_TEXT authorization_header;
  int32_t is_pop;
  int64_t expiry;
  VESSAEMU_ERROR_SPEC error;
  VESSAEMU_TEXT telemetry;
} VESSAEMU_AUTH_RESULT_SPEC;

typedef struct VESSAEMU_RESULT_SPEC {
  VESSAEMU_TEXT account_key;         /* read-account results only */
  const VESSAEMU_TEXT* account_keys; /* discover-accounts results only, in index order */
  int32_t account_count;
  VESSAEMU_ERROR_SPEC error;
  VESSAEMU_TEXT telemetry;
} VESSAEMU_RESULT_SPEC;

/* General. Reset stops the engine first: operations still pending (queued, held, delayed) complete
 * with an error result of status 8 (Status_ApplicationCanceled) on the calling thread, or, with
 * VESSAEMU_RESET_DROP_PENDING, are dropped without a call of their routine. Then it waits for
 * every completion in progress (on the workers, inline on other threads, on workers a shut-down
 * from inside a routine left running), and only then clears the emulator's state. Returns 0. */
#define VESSAEMU_RESET_DROP_PENDING 1
VESSAEMU_API int32_t VESSAEMU_Reset(int32_t flags);
VESSAEMU_API void VESSAEMU_Free(void* memory);

/* The next `count` calls of an exported function (its full name, "VESSARUNTIME_..." or
 * "VESSAEMU_..."; runtime operations also without the prefix) fail inside the emulator:
 * kind 0, out of memory: every handle the call tries to make fails with std::bad_alloc;
 * kind 1: a std::exception is thrown as the call begins; kind 2: an exception of no standard type.
 * Cleared by a reset. 0 ok, -1 unknown runtime operation or a name of neither family,
 * -2 bad kind. */
VESSAEMU_API int32_t VESSAEMU_FailInside(const char* function, int32_t kind, int32_t count);

/* Handles: kinds are numbered 0..VESSAEMU_KindCount()-1; kind -1 counts all kinds. */
VESSAEMU_API int32_t VESSAEMU_KindCount(void);
VESSAEMU_API const char* VESSAEMU_KindName(int32_t kind);
VESSAEMU_API int64_t VESSAEMU_LiveHandles(int32_t kind);
VESSAEMU_API int32_t VESSAEMU_HandleKind(uint64_t handle); /* -1: not a live handle */
/* Writes up to `capacity` values of live handles of a kind (-1: all), in creation order; returns
 * how many there are (call again with a larger array if that exceeds capacity). */
VESSAEMU_API int64_t VESSAEMU_LiveHandleValues(int32_t kind, uint64_t* values, int64_t capacity);

/* Operations, named with or without the VESSARUNTIME_ prefix. */
VESSAEMU_API int32_t VESSAEMU_OperationCount(void);
VESSAEMU_API const char* VESSAEMU_OperationName(int32_t index);
VESSAEMU_API int64_t VESSAEMU_Calls(const char* operation); /* -1: unknown operation */
/* The next `count` calls fail, after `after` calls that go through normally.
 * 0 ok, -1 unknown operation, -2 the operation returns no error handle */
VESSAEMU_API int32_t VESSAEMU_FailNext(const char* operation, int32_t status, int64_t code,
                                       int32_t tag, VESSAEMU_TEXT context, int32_t count,
                                       int32_t after);

/* Contract violations; texts are ASCII, one per line. LastContractViolation returns the text's
 * length (-1: none); TakeContractViolations how many it took, their texts joined in *out. */
VESSAEMU_API int64_t VESSAEMU_ContractViolations(void);
VESSAEMU_API int32_t VESSAEMU_LastContractViolation(char** out);
VESSAEMU_API int32_t VESSAEMU_TakeContractViolations(char** out);

/* Settings (0 ok) */
VESSAEMU_API int32_t VESSAEMU_SetSsoPolicy(int32_t policy);
VESSAEMU_API int32_t VESSAEMU_IsStarted(void);
VESSAEMU_API int32_t VESSAEMU_PiiEnabled(void);
VESSAEMU_API int32_t VESSAEMU_SetStringProtocol(int32_t first_call_error, int32_t negative_size,
                                                int32_t grow_by);

/* Errors (the reserved "out of memory" error when it cannot be made) */
VESSAEMU_API uint64_t VESSAEMU_MakeError(int32_t status, int64_t code, int32_t tag,
                                         VESSAEMU_TEXT context);

/* Accounts. Fields are numbered 0..VESSAEMU_AccountFieldCount()-1; field -1 is the key. */
VESSAEMU_API int32_t VESSAEMU_AccountFieldCount(void);
VESSAEMU_API const char* VESSAEMU_AccountFieldName(int32_t field);
/* Returns the key's length and the key in *out_key; -1 if the key is taken. */
VESSAEMU_API int32_t VESSAEMU_AddAccount(VESSAEMU_TEXT key, vessaemu_unit** out_key);
/* 0 ok, -1 unknown account, -2 unknown field */
VESSAEMU_API int32_t VESSAEMU_SetAccountField(VESSAEMU_TEXT key, int32_t field,
                                              VESSAEMU_TEXT value);
VESSAEMU_API int32_t VESSAEMU_RemoveAccount(VESSAEMU_TEXT key); /* 0 ok, -1 unknown */
VESSAEMU_API int32_t VESSAEMU_AccountCount(void);
/* Length and units of a field of the index-th account; -1 no value, -2 bad index or field. */
VESSAEMU_API int32_t VESSAEMU_AccountFieldAt(int32_t index, int32_t field, vessaemu_unit** out);
VESSAEMU_API uint64_t VESSAEMU_NewAccountHandle(VESSAEMU_TEXT key); /* 0: unknown account */

/* Auth parameters, as recorded. Fields: 0 client id, 1 authority, 2 scopes, 3 redirect uri,
 * 4 claims, 5 access token to renew, 6..9 pop http method, uri host, uri path, nonce.
 * Length and units; -1 no value, -2 not a live auth-parameters handle, -3 bad field or index. */
VESSAEMU_API int32_t VESSAEMU_AuthParametersFieldCount(void);
VESSAEMU_API const char* VESSAEMU_AuthParametersFieldName(int32_t field);
VESSAEMU_API int32_t VESSAEMU_AuthParametersField(uint64_t handle, int32_t field,
                                                  vessaemu_unit** out);
VESSAEMU_API int32_t VESSAEMU_AuthParametersAdditionalCount(uint64_t handle);
/* which: 0 key, 1 value */
VESSAEMU_API int32_t VESSAEMU_AuthParametersAdditional(uint64_t handle, int32_t index,
                                                       int32_t which, vessaemu_unit** out);

/* Results: a new live handle, 0 if an account key is unknown. */
VESSAEMU_API uint64_t VESSAEMU_NewAuthResult(const VESSAEMU_AUTH_RESULT_SPEC* spec);
VESSAEMU_API uint64_t VESSAEMU_NewSignOutResult(const VESSAEMU_RESULT_SPEC* spec);
VESSAEMU_API uint64_t VESSAEMU_NewReadAccountResult(const VESSAEMU_RESULT_SPEC* spec);
VESSAEMU_API uint64_t VESSAEMU_NewDiscoverAccountsResult(const VESSAEMU_RESULT_SPEC* spec);

/* Async-operation handles: state 0 pending, 1 cancelled (cancellation not yet delivered),
 * 2 completed; -1 not live. */
VESSAEMU_API uint64_t VESSAEMU_NewAsyncHandle(void);
VESSAEMU_API int32_t VESSAEMU_AsyncState(uint64_t handle);

/* The asynchronous engine. Modes: 0 on a worker thread, 1 inline inside the start call,
 * 2 held until released, 3 on a worker after delay_ms, 4 inline inside the start call before
 * the start stores the operation's handle (in every other mode the handle is stored before the
 * completion can run). Returns 0, or -1 for an unknown mode. */
VESSAEMU_API int32_t VESSAEMU_SetCompletionMode(int32_t mode, int32_t delay_ms);
VESSAEMU_API int32_t VESSAEMU_CompletionMode(int32_t* delay_ms);
/* Hands up to `count` held operations (all for count < 0) to the workers, oldest first;
 * returns how many. */
VESSAEMU_API int32_t VESSAEMU_ReleaseHeld(int32_t count);
/* Started and not completed: queued, held, delayed or being delivered. */
VESSAEMU_API int64_t VESSAEMU_PendingOperations(void);
VESSAEMU_API int64_t VESSAEMU_HeldOperations(void);
VESSAEMU_API int32_t VESSAEMU_WorkerCount(void);
/* 1 once nothing is queued, delayed or being delivered (held operations do not count);
 * 0 if the timeout passed first. */
VESSAEMU_API int32_t VESSAEMU_WaitIdle(int64_t timeout_ms);
/* The next completion of a start operation delivers an error result with these values, or a
 * null result handle. 0 ok, -1 unknown operation, -2 not one of the eight start operations. */
VESSAEMU_API int32_t VESSAEMU_FailNextCompletion(const char* operation, int32_t status,
                                                 int64_t code, int32_t tag, VESSAEMU_TEXT context);
VESSAEMU_API int32_t VESSAEMU_NullNextCompletion(const char* operation);

/* The interactive user: fields as for accounts; set to the default by a reset or by
 * VESSAEMU_ResetInteractiveUser. 0 ok, -2 unknown field. */
VESSAEMU_API int32_t VESSAEMU_ResetInteractiveUser(void);
VESSAEMU_API int32_t VESSAEMU_SetInteractiveUserField(int32_t field, VESSAEMU_TEXT value);
VESSAEMU_API int32_t VESSAEMU_InteractiveUserField(int32_t field, vessaemu_unit** out);
/* The next interactive sign-in completes with an error of this status instead. 0 ok. */
VESSAEMU_API int32_t VESSAEMU_CancelNextInteractive(int32_t status);

/* Logging: writes the line to every registration, from the calling thread (threads 0) or from
 * `threads` new native threads at once, each writing it once; returns when all are done, with
 * 0, or -1 if no thread could be made. */
VESSAEMU_API int32_t VESSAEMU_EmitLog(VESSAEMU_TEXT message, int32_t level, int32_t threads);
VESSAEMU_API int32_t VESSAEMU_LogRegistrations(void);

#ifdef __cplusplus
}
#endif

#endif /* VESSAEMU_H */
