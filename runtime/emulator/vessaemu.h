/*
 * vessaemu: the control interface of the emulated runtime (libvessaruntime.so, vessaruntime.dll).
 *
 * Tests, the demo and application developers script the emulator through these calls; the
 * Python wrapper is pyvessaruntime/emulator.py. Texts are UTF-16 units with an explicit length so
 * that absent values, embedded zeros and invalid sequences can all be expressed. Memory the
 * emulator hands out (char16_t** and char** results) is freed with VESSAEMU_Free.
 *
 * Scenarios (settings, the clock, the interactive user, accounts and scripted outcomes) are JSON
 * documents, whether they come from VESSAEMU_LoadScenario or from the file the environment
 * variable VESSAEMU_SCENARIO names, which the first Startup after the library loads (or after a
 * reset) reads; runtime/emulator/scenario.hpp and the emulator's README describe them.
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
 * from inside a routine left running), and only then clears the emulator's state; with
 * VESSAEMU_RESET_KEEP_LOG_REGISTRATIONS the log routines stay registered (their handles live).
 * Handles a reset drops are released quietly once each (no contract violation); any other use
 * of one is a contract violation. Returns 0. */
#define VESSAEMU_RESET_DROP_PENDING 1
#define VESSAEMU_RESET_KEEP_LOG_REGISTRATIONS 2
VESSAEMU_API int32_t VESSAEMU_Reset(int32_t flags);
VESSAEMU_API void VESSAEMU_Free(void* memory);

/* The next `count` calls of an exported function (its full name, "VESSARUNTIME_..." or
 * "VESSAEMU_..."; runtime operations also without the prefix) fail inside the emulator:
 * kind 0, out of memory: every handle the call tries to make fails with std::bad_alloc;
 * kind 1: a std::exception is thrown as the call begins; kind 2: an exception of no standard type.
 * Cleared by a reset. 0 ok, -1 unknown runtime operation or a name of neither family,
 * -2 bad kind. */
VESSAEMU_API int32_t VESSAEMU_FailInside(const char* function, int32_t kind, int32_t count);

/* The names of the emulator's enumerations, so that wrappers read them instead of repeating them:
 * the name at `index` of a table (numbers are indexes), null past its end. */
#define VESSAEMU_NAMES_KINDS 0
#define VESSAEMU_NAMES_OPERATIONS 1        /* runtime operations, without the prefix */
#define VESSAEMU_NAMES_PYTHON_OPERATIONS 2 /* the same, as Python spells them: "sign_in" */
#define VESSAEMU_NAMES_START_OPERATIONS 3  /* the eight start operations, runtime names */
#define VESSAEMU_NAMES_ACCOUNT_FIELDS 4
#define VESSAEMU_NAMES_AUTH_PARAMETERS_FIELDS 5
#define VESSAEMU_NAMES_COMPLETION_MODES 6
#define VESSAEMU_NAMES_FAILURE_KINDS 7
#define VESSAEMU_NAMES_ACCOUNT_STATES 8
#define VESSAEMU_NAMES_ASYNC_STATES 9
VESSAEMU_API const char* VESSAEMU_Name(int32_t table, int32_t index);

/* Handles, by kind; kind -1 counts all kinds. */
VESSAEMU_API int64_t VESSAEMU_LiveHandles(int32_t kind);
VESSAEMU_API int32_t VESSAEMU_HandleKind(uint64_t handle); /* -1: not a live handle */
/* Writes up to `capacity` values of live handles of a kind (-1: all), in creation order; returns
 * how many there are (call again with a larger array if that exceeds capacity). */
VESSAEMU_API int64_t VESSAEMU_LiveHandleValues(int32_t kind, uint64_t* values, int64_t capacity);

/* Operations, named with or without the VESSARUNTIME_ prefix or as Python spells them
 * ("acquire_token_silently"; case, underscores and an "Async" ending do not matter). */
VESSAEMU_API int32_t VESSAEMU_OperationIndex(const char* operation); /* -1: unknown */
VESSAEMU_API int64_t VESSAEMU_Calls(const char* operation);          /* -1: unknown operation */
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

/* Scenarios: applies a JSON document (UTF-8, zero-terminated). 0 ok; -1 a fault of the document,
 * whose description (naming the place, and listing the valid names where a name is wrong) goes
 * to *error if error is not null; nothing of a faulty document is applied. Its "settings" are
 * also how the SSO policy, token lifetimes, latencies and string-protocol switches are set. */
VESSAEMU_API int32_t VESSAEMU_LoadScenario(const char* json, int64_t length, char** error);
/* What was scripted and never happened (outcomes no completion took, cancellations of prompts
 * never shown, latencies of operations never started; optional ones left out), one line each
 * (UTF-8) into *out; returns how many. */
VESSAEMU_API int32_t VESSAEMU_PendingOutcomes(char** out);
/* Routes: scripts one outcome, a JSON object as an entry of a scenario's "outcomes" (UTF-8, not
 * zero-terminated), and returns its route id (> 0); -1 for a fault, described as by LoadScenario.
 * OutcomeUses: how many completions took the route's outcome (a cancellation's too); -1 for a
 * route scripted before the last reset. The history lists, per request, the routes it took. */
VESSAEMU_API int64_t VESSAEMU_ScriptOutcome(const char* json, int64_t length, char** error);
VESSAEMU_API int64_t VESSAEMU_OutcomeUses(uint64_t route);
/* Strict mode (a scenario's "strict"): the requests it completed with an error since the last
 * reset, as a JSON array of texts in *out (UTF-8); returns how many. */
VESSAEMU_API int32_t VESSAEMU_UnmatchedRequests(char** out);
/* The state as a scenario document that reproduces it (ASCII JSON) in *out; returns 0. */
VESSAEMU_API int32_t VESSAEMU_ExportState(char** out);
/* Token operations for this authority (compared without case and trailing slashes) complete with
 * status 11 (Status_AuthorityUntrusted) while trusted is 0. 0 ok, -2 not an https URL. */
VESSAEMU_API int32_t VESSAEMU_SetAuthorityTrusted(VESSAEMU_TEXT authority, int32_t trusted);
VESSAEMU_API int32_t VESSAEMU_IsStarted(void);
VESSAEMU_API int32_t VESSAEMU_PiiEnabled(void);

/* The clock, in Unix seconds, by which tokens are issued and expire: the system's time until it
 * is frozen; advancing moves a frozen clock, or puts the system's time ahead. A reset returns it
 * to the system's time. Now returns the time; the others 0. */
VESSAEMU_API int64_t VESSAEMU_Now(void);
/* The same time in microseconds: a frozen clock's exactly, a running one's with the system's
 * fraction of a second (its whole seconds are those Now returns). */
VESSAEMU_API int64_t VESSAEMU_NowMicroseconds(void);
/* A time outside 0 .. 3979391295 (2096-02-06: the latest from which a lifetime of up to ten
 * years still ends at a time the 32-bit expiry of the runtime's contract carries), frozen at or
 * advanced to, is refused with -2; nothing changes. */
VESSAEMU_API int32_t VESSAEMU_FreezeClock(int64_t unix_seconds);
VESSAEMU_API int32_t VESSAEMU_AdvanceClock(int64_t seconds);

/* The request history: every start the runtime accepted, with what it was given and how it
 * completed, as a JSON array in *out (ASCII: every non-ASCII UTF-16 unit of a text is escaped on
 * its own), oldest first, the last 10000 at most. Returns how many entries there are. Clearing
 * keeps nothing; a reset does the same. */
VESSAEMU_API int32_t VESSAEMU_History(char** out);
VESSAEMU_API int32_t VESSAEMU_ClearHistory(void);

/* Errors (the reserved "out of memory" error when it cannot be made) */
VESSAEMU_API uint64_t VESSAEMU_MakeError(int32_t status, int64_t code, int32_t tag,
                                         VESSAEMU_TEXT context);

/* Accounts. Fields are numbered as VESSAEMU_NAMES_ACCOUNT_FIELDS; field -1 is the key. The
 * store lists accounts that are not in the state "removed". */
/* Returns the key's length and the key in *out_key; -1 if the key is taken. */
VESSAEMU_API int32_t VESSAEMU_AddAccount(VESSAEMU_TEXT key, vessaemu_unit** out_key);
/* 0 ok, -1 unknown account, -2 unknown field */
VESSAEMU_API int32_t VESSAEMU_SetAccountField(VESSAEMU_TEXT key, int32_t field,
                                              VESSAEMU_TEXT value);
VESSAEMU_API int32_t VESSAEMU_RemoveAccount(VESSAEMU_TEXT key); /* 0 ok, -1 unknown */
/* States are numbered as VESSAEMU_NAMES_ACCOUNT_STATES. Set: 0 ok, -1 unknown account, -2 bad
 * state. AccountState: the state, or -1 for an unknown account. */
VESSAEMU_API int32_t VESSAEMU_SetAccountState(VESSAEMU_TEXT key, int32_t state);
VESSAEMU_API int32_t VESSAEMU_AccountState(VESSAEMU_TEXT key);
VESSAEMU_API int32_t VESSAEMU_AccountCount(void);
/* Length and units of a field of the index-th account; -1 no value, -2 bad index or field. */
VESSAEMU_API int32_t VESSAEMU_AccountFieldAt(int32_t index, int32_t field, vessaemu_unit** out);
VESSAEMU_API uint64_t VESSAEMU_NewAccountHandle(VESSAEMU_TEXT key); /* 0: unknown account */

/* Auth parameters, as recorded, by the fields of VESSAEMU_NAMES_AUTH_PARAMETERS_FIELDS.
 * Length and units; -1 no value, -2 not a live auth-parameters handle, -3 bad field or index. */
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
 * 2 completed (VESSAEMU_NAMES_ASYNC_STATES); -1 not live. */
VESSAEMU_API uint64_t VESSAEMU_NewAsyncHandle(void);
VESSAEMU_API int32_t VESSAEMU_AsyncState(uint64_t handle);

/* The asynchronous engine. Modes: 0 on a worker thread, 1 inline inside the start call,
 * 2 held until released, 3 on a worker after delay_ms, 4 inline inside the start call before
 * the start stores the operation's handle (in every other mode the handle is stored before the
 * completion can run). An operation's own latency (a setting) stands in for the delay in mode 3
 * and makes mode 0 wait as long. Returns 0, or -1 for an unknown mode. */
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
/* Waits until at least `count` operations are pending (as PendingOperations counts them, held
 * ones included); returns how many are then, fewer than `count` if the timeout passed first. */
VESSAEMU_API int64_t VESSAEMU_WaitForPending(int64_t count, int64_t timeout_ms);
/* A held operation not released within its hold timeout (steady time, not the emulator's clock)
 * completes on a worker with an error result of status 8 (Status_ApplicationCanceled) and is
 * listed by ExpiredHolds. The timeout is the setting held_timeout (30 s by default) unless
 * SetHoldTimeout gives one. HoldOperation holds every later start of a start operation whatever
 * the mode (hold != 0), or no longer: whether it was held (0, 1); -1 unknown operation, -2 not a
 * start operation. SetHoldTimeout: 1 to 86400000 ms, 0 for the setting; the previous one, -2 out
 * of range. ExpiredHolds: one line each (UTF-8) into *out; how many. A reset ends all three. */
VESSAEMU_API int32_t VESSAEMU_HoldOperation(const char* operation, int32_t hold);
VESSAEMU_API int64_t VESSAEMU_SetHoldTimeout(int64_t timeout_ms);
VESSAEMU_API int32_t VESSAEMU_ExpiredHolds(char** out);
/* The interactive user: fields as for accounts; set to the default by a reset or by
 * VESSAEMU_ResetInteractiveUser. 0 ok, -2 unknown field. */
VESSAEMU_API int32_t VESSAEMU_ResetInteractiveUser(void);
VESSAEMU_API int32_t VESSAEMU_SetInteractiveUserField(int32_t field, VESSAEMU_TEXT value);
VESSAEMU_API int32_t VESSAEMU_InteractiveUserField(int32_t field, vessaemu_unit** out);
/* The next interactive sign-in completes with an error of this status instead; an optional one
 * (optional != 0) is not listed by VESSAEMU_PendingOutcomes. Returns its route id. */
VESSAEMU_API int64_t VESSAEMU_CancelNextInteractive(int32_t status, int32_t optional);

/* Logging: writes the line to every registration, from the calling thread (threads 0) or from
 * `threads` new native threads at once, each writing it once; returns when all are done, with
 * 0, or -1 if no thread could be made. */
VESSAEMU_API int32_t VESSAEMU_EmitLog(VESSAEMU_TEXT message, int32_t level, int32_t threads);
VESSAEMU_API int32_t VESSAEMU_LogRegistrations(void);

#ifdef __cplusplus
}
#endif

#endif /* VESSAEMU_H */
