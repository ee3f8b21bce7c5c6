/* Wendrel: what the SSR message headers share (wendrel/ssr_codec.h: the conventions and data
 * messages, wendrel/ssr_control.h: control messages): the export marker, the result codes and the
 * header's constants. Each includes this one, so neither needs the other.
 */
#ifndef WENDREL_SSR_COMMON_H
#define WENDREL_SSR_COMMON_H

#include <stdint.h>

#if defined(WENDREL_BUILDING)
#define SSR_API __attribute__((visibility("default")))
#else
#define SSR_API
#endif

/* Result codes (signed 32-bit). */
#define SSR_SUCCESS 0
#define SSR_ERROR_ZLIB (-1)             /* stream cannot be created, or deflate/inflate failed */
#define SSR_ERROR_NOT_INITIALIZED (-2)  /* ssr_Terminate without ssr_Initialize */
#define SSR_BUFFER_TOO_SMALL (-3)       /* the needed size has been written back */
#define SSR_ERROR_INVALID_ARGUMENT (-6) /* required pointer null, or a value that cannot be encoded */
#define SSR_ERROR_NO_MEMORY (-7)
#define SSR_ERROR_HEADER_TOO_SHORT (-8) /* fewer than 4 bytes given to the header parser */
#define SSR_ERROR_INCOMPLETE (-9)       /* bytes end before the payload or its layout */
#define SSR_ERROR_BAD_VERSION (-10)
#define SSR_ERROR_BAD_TYPE (-11)
#define SSR_ERROR_BAD_DATA_CODE (-12)

#define SSR_VERSION 3
#define SSR_HEADER_SIZE 4
#define SSR_TYPE_DATA 0
#define SSR_TYPE_MNG 1

#endif /* WENDREL_SSR_COMMON_H */
