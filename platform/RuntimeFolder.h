/* Where a user's Vantor keeps what only its own programs may see, as both Vantor and the
 * capture provider (C, libc only) find it. */
#ifndef VANTOR_PLATFORM_RUNTIME_FOLDER_H
#define VANTOR_PLATFORM_RUNTIME_FOLDER_H

#include <stddef.h>
#include <stdio.h>

/* The private folder inside the runtime folder: owned by the user, mode 0700. */
#define VANTOR_PRIVATE_FOLDER_NAME "vantor"

#if defined(__cplusplus) && defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
#endif

/* The runtime folder: runtimeDir ($XDG_RUNTIME_DIR) when it is an absolute path, else
 * <tmpDir ($TMPDIR) or /tmp>/vantor-runtime-<uid>. 0 when it does not fit. */
static inline int vantor_runtime_folder(char* out, size_t size, const char* runtimeDir,
                                        const char* tmpDir, unsigned long uid) {
    int length;
    if (runtimeDir != NULL && runtimeDir[0] == '/') {
        length = snprintf(out, size, "%s", runtimeDir);
    } else {
        const char* base = tmpDir != NULL && tmpDir[0] == '/' ? tmpDir : "/tmp";
        length = snprintf(out, size, "%s/vantor-runtime-%lu", base, uid);
    }
    return length > 0 && (size_t)length < size;
}

#if defined(__cplusplus) && defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

#endif
