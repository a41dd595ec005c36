// Symbol visibility of the Velmora SDK. The library is built with hidden
// visibility; only what carries VELMORA_EXPORT is seen by applications.
#ifndef VELMORA_EXPORT_H
#define VELMORA_EXPORT_H

#ifdef __cplusplus
#define VELMORA_EXTERN_C extern "C"
#else
#define VELMORA_EXTERN_C
#endif

#define VELMORA_EXPORT VELMORA_EXTERN_C __attribute__((visibility("default")))

#endif
