// Export marker of libpimplatform.so.
#pragma once
#if defined(PIMPLATFORM_BUILD)
#define PIMPLATFORM_API __attribute__((visibility("default")))
#else
#define PIMPLATFORM_API
#endif
#ifdef __cplusplus
#define PIM_EXTERN_C extern "C"
#define PIM_EXTERN_C_BEGIN extern "C" {
#define PIM_EXTERN_C_END }
#else
#define PIM_EXTERN_C
#define PIM_EXTERN_C_BEGIN
#define PIM_EXTERN_C_END
#endif
