/*
 * vessaruntime: the C contract of the native authentication runtime.
 *
 * Every operation returns an error handle (null on success) except
 * VESSARUNTIME_Shutdown and VESSARUNTIME_SetIsPiiEnabled. Text is zero-terminated
 * UTF-16 in 16-bit units; string getters follow the two-call protocol: a null
 * buffer asks for the size (units including the terminator, 0 for "no value").
 * Asynchronous operations take their inputs, then the completion routine, the
 * context value and the address that receives the new async-operation handle.
 */
#ifndef VESSARUNTIME_H
#define VESSARUNTIME_H

#include <stdint.h>

#ifdef _WIN32
#include <wchar.h>
typedef wchar_t os_char;
#define VESSARUNTIME_CALL __stdcall
#ifdef VESSARUNTIME_BUILDING
#define VESSARUNTIME_API __declspec(dllexport)
#else
#define VESSARUNTIME_API __declspec(dllimport)
#endif
#else
#ifdef __cplusplus
typedef char16_t os_char;
#else
#include <uchar.h>
typedef char16_t os_char;
#endif
#define VESSARUNTIME_CALL
#define VESSARUNTIME_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* One opaque pointer type per handle kind, so a handle of the wrong kind does not compile. */
typedef struct VESSARUNTIME_AUTH_PARAMETERS_s* VESSARUNTIME_AUTH_PARAMETERS_HANDLE;
typedef struct VESSARUNTIME_ACCOUNT_s* VESSARUNTIME_ACCOUNT_HANDLE;
typedef struct VESSARUNTIME_AUTH_RESULT_s* VESSARUNTIME_AUTH_RESULT_HANDLE;
typedef struct VESSARUNTIME_SIGNOUT_RESULT_s* VESSARUNTIME_SIGNOUT_RESULT_HANDLE;
typedef struct VESSARUNTIME_READ_ACCOUNT_RESULT_s* VESSARUNTIME_READ_ACCOUNT_RESULT_HANDLE;
typedef struct VESSARUNTIME_DISCOVER_ACCOUNTS_RESULT_s*
    VESSARUNTIME_DISCOVER_ACCOUNTS_RESULT_HANDLE;
typedef struct VESSARUNTIME_ERROR_s* VESSARUNTIME_ERROR_HANDLE;
typedef struct VESSARUNTIME_ASYNC_HANDLE_s* VESSARUNTIME_ASYNC_HANDLE;
typedef struct VESSARUNTIME_LOG_CALLBACK_HANDLE_s* VESSARUNTIME_LOG_CALLBACK_HANDLE;

/* A native parent window (an HWND on Windows); passed through unchanged. */
typedef void* VESSARUNTIME_WINDOW_HANDLE;

typedef void(VESSARUNTIME_CALL* VESSARUNTIME_AUTH_COMPLETION_ROUTINE)(
    VESSARUNTIME_AUTH_RESULT_HANDLE result, void* context);
typedef void(VESSARUNTIME_CALL* VESSARUNTIME_SIGNOUT_COMPLETION_ROUTINE)(
    VESSARUNTIME_SIGNOUT_RESULT_HANDLE result, void* context);
typedef void(VESSARUNTIME_CALL* VESSARUNTIME_READ_ACCOUNT_COMPLETION_ROUTINE)(
    VESSARUNTIME_READ_ACCOUNT_RESULT_HANDLE result, void* context);
typedef void(VESSARUNTIME_CALL* VESSARUNTIME_DISCOVER_ACCOUNTS_COMPLETION_ROUTINE)(
    VESSARUNTIME_DISCOVER_ACCOUNTS_RESULT_HANDLE result, void* context);
typedef void(VESSARUNTIME_CALL* VESSARUNTIME_LOG_ROUTINE)(const os_char* message, int32_t level,
                                                          void* context);

#define VESSARUNTIME_FN(ret) VESSARUNTIME_API ret VESSARUNTIME_CALL

/* Lifecycle, SSO policy, PII switch */
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE) VESSARUNTIME_Startup(void);
VESSARUNTIME_FN(void) VESSARUNTIME_Shutdown(void);
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE) VESSARUNTIME_GetSsoPolicy(int32_t* policy);
VESSARUNTIME_FN(void) VESSARUNTIME_SetIsPiiEnabled(int32_t enabled);

/* Errors */
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)
VESSARUNTIME_GetStatus(VESSARUNTIME_ERROR_HANDLE error, int32_t* status);
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)
VESSARUNTIME_GetErrorCode(VESSARUNTIME_ERROR_HANDLE error, int64_t* errorCode);
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)
VESSARUNTIME_GetTag(VESSARUNTIME_ERROR_HANDLE error, int32_t* tag);
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)
VESSARUNTIME_GetContext(VESSARUNTIME_ERROR_HANDLE error, os_char* context, int32_t* bufferSize);
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)
VESSARUNTIME_ReleaseError(VESSARUNTIME_ERROR_HANDLE error);

/* Account: thirteen string properties */
#define VESSARUNTIME_ACCOUNT_STRING_GETTER(name) \
  VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)     \
  name(VESSARUNTIME_ACCOUNT_HANDLE account, os_char* buffer, int32_t* bufferSize)
VESSARUNTIME_ACCOUNT_STRING_GETTER(VESSARUNTIME_GetAccountId);
VESSARUNTIME_ACCOUNT_STRING_GETTER(VESSARUNTIME_GetHomeAccountId);
VESSARUNTIME_ACCOUNT_STRING_GETTER(VESSARUNTIME_GetEnvironment);
VESSARUNTIME_ACCOUNT_STRING_GETTER(VESSARUNTIME_GetRealm);
VESSARUNTIME_ACCOUNT_STRING_GETTER(VESSARUNTIME_GetLocalAccountId);
VESSARUNTIME_ACCOUNT_STRING_GETTER(VESSARUNTIME_GetUserName);
VESSARUNTIME_ACCOUNT_STRING_GETTER(VESSARUNTIME_GetGivenName);
VESSARUNTIME_ACCOUNT_STRING_GETTER(VESSARUNTIME_GetFamilyName);
VESSARUNTIME_ACCOUNT_STRING_GETTER(VESSARUNTIME_GetMiddleName);
VESSARUNTIME_ACCOUNT_STRING_GETTER(VESSARUNTIME_GetDisplayName);
VESSARUNTIME_ACCOUNT_STRING_GETTER(VESSARUNTIME_GetAdditionalFieldsJson);
VESSARUNTIME_ACCOUNT_STRING_GETTER(VESSARUNTIME_GetHomeEnvironment);
VESSARUNTIME_ACCOUNT_STRING_GETTER(VESSARUNTIME_GetClientInfo);
#undef VESSARUNTIME_ACCOUNT_STRING_GETTER
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)
VESSARUNTIME_ReleaseAccount(VESSARUNTIME_ACCOUNT_HANDLE account);

/* Auth parameters */
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)
VESSARUNTIME_CreateAuthParameters(const os_char* clientId, const os_char* authority,
                                  VESSARUNTIME_AUTH_PARAMETERS_HANDLE* authParameters);
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)
VESSARUNTIME_SetRequestedScopes(VESSARUNTIME_AUTH_PARAMETERS_HANDLE authParameters,
                                const os_char* scopes);
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)
VESSARUNTIME_SetRedirectUri(VESSARUNTIME_AUTH_PARAMETERS_HANDLE authParameters,
                            const os_char* redirectUri);
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)
VESSARUNTIME_SetDecodedClaims(VESSARUNTIME_AUTH_PARAMETERS_HANDLE authParameters,
                              const os_char* claims);
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)
VESSARUNTIME_SetAccessTokenToRenew(VESSARUNTIME_AUTH_PARAMETERS_HANDLE authParameters,
                                   const os_char* accessTokenToRenew);
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)
VESSARUNTIME_SetPopParams(VESSARUNTIME_AUTH_PARAMETERS_HANDLE authParameters,
                          const os_char* httpMethod, const os_char* uriHost, const os_char* uriPath,
                          const os_char* nonce);
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)
VESSARUNTIME_SetAdditionalParameter(VESSARUNTIME_AUTH_PARAMETERS_HANDLE authParameters,
                                    const os_char* key, const os_char* value);
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)
VESSARUNTIME_ReleaseAuthParameters(VESSARUNTIME_AUTH_PARAMETERS_HANDLE authParameters);

/* Auth result */
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)
VESSARUNTIME_GetAccount(VESSARUNTIME_AUTH_RESULT_HANDLE authResult,
                        VESSARUNTIME_ACCOUNT_HANDLE* account);
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)
VESSARUNTIME_GetIdToken(VESSARUNTIME_AUTH_RESULT_HANDLE authResult, os_char* buffer,
                        int32_t* bufferSize);
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)
VESSARUNTIME_GetRawIdToken(VESSARUNTIME_AUTH_RESULT_HANDLE authResult, os_char* buffer,
                           int32_t* bufferSize);
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)
VESSARUNTIME_GetAccessToken(VESSARUNTIME_AUTH_RESULT_HANDLE authResult, os_char* buffer,
                            int32_t* bufferSize);
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)
VESSARUNTIME_GetGrantedScopes(VESSARUNTIME_AUTH_RESULT_HANDLE authResult, os_char* buffer,
                              int32_t* bufferSize);
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)
VESSARUNTIME_GetAuthorizationHeader(VESSARUNTIME_AUTH_RESULT_HANDLE authResult, os_char* buffer,
                                    int32_t* bufferSize);
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)
VESSARUNTIME_IsPopAuthorization(VESSARUNTIME_AUTH_RESULT_HANDLE authResult,
                                int32_t* isPopAuthorization);
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)
VESSARUNTIME_GetAccessTokenExpiryTime(VESSARUNTIME_AUTH_RESULT_HANDLE authResult,
                                      int64_t* accessTokenExpiryTime);
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)
VESSARUNTIME_GetError(VESSARUNTIME_AUTH_RESULT_HANDLE authResult, VESSARUNTIME_ERROR_HANDLE* error);
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)
VESSARUNTIME_GetTelemetryData(VESSARUNTIME_AUTH_RESULT_HANDLE authResult, os_char* buffer,
                              int32_t* bufferSize);
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)
VESSARUNTIME_ReleaseAuthResult(VESSARUNTIME_AUTH_RESULT_HANDLE authResult);

/* Sign-out result */
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)
VESSARUNTIME_SignOutResult_GetError(VESSARUNTIME_SIGNOUT_RESULT_HANDLE signOutResult,
                                    VESSARUNTIME_ERROR_HANDLE* error);
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)
VESSARUNTIME_SignOutResult_GetTelemetryData(VESSARUNTIME_SIGNOUT_RESULT_HANDLE signOutResult,
                                            os_char* buffer, int32_t* bufferSize);
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)
VESSARUNTIME_ReleaseSignOutResult(VESSARUNTIME_SIGNOUT_RESULT_HANDLE signOutResult);

/* Read-account result */
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)
VESSARUNTIME_ReadAccountResult_GetAccount(VESSARUNTIME_READ_ACCOUNT_RESULT_HANDLE readAccountResult,
                                          VESSARUNTIME_ACCOUNT_HANDLE* account);
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)
VESSARUNTIME_ReadAccountResult_GetError(VESSARUNTIME_READ_ACCOUNT_RESULT_HANDLE readAccountResult,
                                        VESSARUNTIME_ERROR_HANDLE* error);
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)
VESSARUNTIME_ReadAccountResult_GetTelemetryData(
    VESSARUNTIME_READ_ACCOUNT_RESULT_HANDLE readAccountResult, os_char* buffer,
    int32_t* bufferSize);
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)
VESSARUNTIME_ReleaseReadAccountResult(VESSARUNTIME_READ_ACCOUNT_RESULT_HANDLE readAccountResult);

/* Discover-accounts result */
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)
VESSARUNTIME_DiscoverAccountsResult_GetAccount(
    VESSARUNTIME_DISCOVER_ACCOUNTS_RESULT_HANDLE discoverAccountsResult, int32_t index,
    VESSARUNTIME_ACCOUNT_HANDLE* account);
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)
VESSARUNTIME_DiscoverAccountsResult_GetError(
    VESSARUNTIME_DISCOVER_ACCOUNTS_RESULT_HANDLE discoverAccountsResult,
    VESSARUNTIME_ERROR_HANDLE* error);
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)
VESSARUNTIME_DiscoverAccountsResult_GetTelemetryData(
    VESSARUNTIME_DISCOVER_ACCOUNTS_RESULT_HANDLE discoverAccountsResult, os_char* buffer,
    int32_t* bufferSize);
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)
VESSARUNTIME_ReleaseDiscoverAccountsResult(
    VESSARUNTIME_DISCOVER_ACCOUNTS_RESULT_HANDLE discoverAccountsResult);

/* Asynchronous operations */
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)
VESSARUNTIME_SignInAsync(VESSARUNTIME_WINDOW_HANDLE parentWindowHandle,
                         VESSARUNTIME_AUTH_PARAMETERS_HANDLE authParameters,
                         const os_char* correlationId, const os_char* accountHint,
                         VESSARUNTIME_AUTH_COMPLETION_ROUTINE callback, void* callbackData,
                         VESSARUNTIME_ASYNC_HANDLE* asyncHandle);
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)
VESSARUNTIME_SignInSilentlyAsync(VESSARUNTIME_AUTH_PARAMETERS_HANDLE authParameters,
                                 const os_char* correlationId,
                                 VESSARUNTIME_AUTH_COMPLETION_ROUTINE callback, void* callbackData,
                                 VESSARUNTIME_ASYNC_HANDLE* asyncHandle);
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)
VESSARUNTIME_SignInInteractivelyAsync(VESSARUNTIME_WINDOW_HANDLE parentWindowHandle,
                                      VESSARUNTIME_AUTH_PARAMETERS_HANDLE authParameters,
                                      const os_char* correlationId, const os_char* accountHint,
                                      VESSARUNTIME_AUTH_COMPLETION_ROUTINE callback,
                                      void* callbackData, VESSARUNTIME_ASYNC_HANDLE* asyncHandle);
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)
VESSARUNTIME_AcquireTokenSilentlyAsync(VESSARUNTIME_AUTH_PARAMETERS_HANDLE authParameters,
                                       const os_char* correlationId,
                                       VESSARUNTIME_ACCOUNT_HANDLE account,
                                       VESSARUNTIME_AUTH_COMPLETION_ROUTINE callback,
                                       void* callbackData, VESSARUNTIME_ASYNC_HANDLE* asyncHandle);
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)
VESSARUNTIME_AcquireTokenInteractivelyAsync(VESSARUNTIME_WINDOW_HANDLE parentWindowHandle,
                                            VESSARUNTIME_AUTH_PARAMETERS_HANDLE authParameters,
                                            const os_char* correlationId,
                                            VESSARUNTIME_ACCOUNT_HANDLE account,
                                            VESSARUNTIME_AUTH_COMPLETION_ROUTINE callback,
                                            void* callbackData,
                                            VESSARUNTIME_ASYNC_HANDLE* asyncHandle);
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)
VESSARUNTIME_ReadAccountByIdAsync(const os_char* accountId, const os_char* correlationId,
                                  VESSARUNTIME_READ_ACCOUNT_COMPLETION_ROUTINE callback,
                                  void* callbackData, VESSARUNTIME_ASYNC_HANDLE* asyncHandle);
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)
VESSARUNTIME_SignOutSilentlyAsync(const os_char* clientId, const os_char* correlationId,
                                  VESSARUNTIME_ACCOUNT_HANDLE account,
                                  VESSARUNTIME_SIGNOUT_COMPLETION_ROUTINE callback,
                                  void* callbackData, VESSARUNTIME_ASYNC_HANDLE* asyncHandle);
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)
VESSARUNTIME_DiscoverAccountsAsync(const os_char* clientId, const os_char* correlationId,
                                   VESSARUNTIME_DISCOVER_ACCOUNTS_COMPLETION_ROUTINE callback,
                                   void* callbackData, VESSARUNTIME_ASYNC_HANDLE* asyncHandle);

/* Async-operation handle */
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)
VESSARUNTIME_CancelAsyncOperation(VESSARUNTIME_ASYNC_HANDLE asyncHandle);
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)
VESSARUNTIME_ReleaseAsyncHandle(VESSARUNTIME_ASYNC_HANDLE asyncHandle);

/* Logging */
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)
VESSARUNTIME_RegisterLogCallback(VESSARUNTIME_LOG_ROUTINE callback, void* callbackData,
                                 VESSARUNTIME_LOG_CALLBACK_HANDLE* callbackHandle);
VESSARUNTIME_FN(VESSARUNTIME_ERROR_HANDLE)
VESSARUNTIME_ReleaseLogCallbackHandle(VESSARUNTIME_LOG_CALLBACK_HANDLE callbackHandle);

#undef VESSARUNTIME_FN

#ifdef __cplusplus
}
#endif

#endif /* VESSARUNTIME_H */
