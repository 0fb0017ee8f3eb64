#pragma once
/* The confinement layers an analysis run puts on itself before it runs model-written code.
 *
 * A small C library of its own: the fork server's child loads it with ctypes (Python has no
 * Landlock or seccomp binding), and tests call each layer directly. Every function acts on
 * the calling process only and is meant for a freshly forked child: the layers cannot be
 * taken off again.
 */

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One bit per layer; the same numbers travel in the run information. */
enum {
  NORVEX_LAYER_LANDLOCK_FILES = 1u << 0,   /* file system: read-only and read-write allow-lists */
  NORVEX_LAYER_LANDLOCK_NETWORK = 1u << 1, /* no TCP bind or connect (Landlock ABI 4) */
  NORVEX_LAYER_LANDLOCK_SCOPES = 1u << 2,  /* no signals out, no abstract sockets (ABI 6) */
  NORVEX_LAYER_SECCOMP = 1u << 3,          /* system call filter */
  NORVEX_LAYER_NO_NEW_PRIVS = 1u << 4,
  NORVEX_LAYER_RESOURCE_LIMITS = 1u << 5,
  NORVEX_LAYER_SUBREAPER = 1u << 6, /* descendants of a run return to the fork server */
  NORVEX_LAYER_NO_PRIVILEGES = 1u << 7, /* no capabilities, bounding set and ambient included */
  NORVEX_LAYER_ALL = (1u << 8) - 1u,
  /* What strict runs require: the guarantees (files, network, signals, devices, privilege,
   * limits) hold with these. Landlock's network rules and scopes add depth where the kernel
   * has them; the system call filter holds the same lines without them. */
  NORVEX_LAYER_REQUIRED = NORVEX_LAYER_ALL & ~(NORVEX_LAYER_LANDLOCK_NETWORK |
                                                NORVEX_LAYER_LANDLOCK_SCOPES)
};

/* The layers this kernel offers; *landlock_abi (when not null) receives the Landlock ABI
 * version, 0 when Landlock is missing or disabled. NORVEX_SANDBOX_LANDLOCK_ABI=N caps the ABI
 * used (0: none), here and in every function below. */
unsigned norvex_sandbox_probe(int* landlock_abi);

/* Sets the resource limits (0 leaves one as it is) and disables core files.
 * Returns 0, or an errno value. */
int norvex_sandbox_limits(unsigned long long address_space, unsigned long long file_size,
                          unsigned long long open_files, unsigned long long cpu_seconds);

/* Compiles the system call filter once for this process and the children it forks after the
 * call, which then only load it. Returns 0, or an errno value. */
int norvex_sandbox_prepare(void);

/* Confinement in steps, so that a process can build most of its Landlock ruleset before it
 * knows the rest. read_only, read_write and paths list paths separated by '\n' (missing paths
 * are skipped).
 *
 * norvex_sandbox_ruleset returns the ruleset's descriptor (close-on-exec; the caller closes it)
 * or -1, with *covered the Landlock layers it stands for and error set when the kernel offers
 * Landlock but the ruleset failed. norvex_sandbox_allow adds paths, read-only or (writable not
 * 0) read-write, to a ruleset that handles file access (0, or -1 with error set).
 *
 * norvex_sandbox_enforce applies the wanted layers among NO_NEW_PRIVS, NO_PRIVILEGES (every
 * capability dropped), LANDLOCK_* (through the ruleset, when not -1) and SECCOMP (an
 * allow-list of system calls: no new process or program, no socket but a stream pair; calls
 * on a process only on the caller itself) to the calling process. It returns the layers applied; when
 * a wanted layer that the kernel offers could not be applied, it writes why into error (a C
 * string of at most error_size bytes) and leaves the layer out of the result. */
int norvex_sandbox_ruleset(const char* read_only, const char* read_write, unsigned wanted,
                           unsigned* covered, char* error, size_t error_size);
int norvex_sandbox_allow(int ruleset, const char* paths, int writable, char* error,
                         size_t error_size);
unsigned norvex_sandbox_enforce(int ruleset, unsigned covered, unsigned wanted, char* error,
                                size_t error_size);

/* For a child that confines itself and then starts one program (the filter of
 * norvex_sandbox_enforce refuses execve): norvex_sandbox_exec_filter compiles that filter with
 * execve allowed only when its path argument is exactly the pointer `program`, which a forked
 * child passes unchanged; the started program keeps the filter and cannot start another.
 * Call it before fork (it allocates); NULL when the filter cannot be compiled.
 * norvex_sandbox_load_filter, in the child, loads it with the calls-on-itself-only filter
 * (0, or an errno value with error set); leave SECCOMP out of norvex_sandbox_enforce's wanted
 * layers then. */
typedef struct norvex_sandbox_filter norvex_sandbox_filter;
norvex_sandbox_filter* norvex_sandbox_exec_filter(const char* program);
int norvex_sandbox_load_filter(const norvex_sandbox_filter* filter, char* error,
                               size_t error_size);
void norvex_sandbox_filter_free(norvex_sandbox_filter* filter);

/* Makes the calling process the subreaper of its descendants. Returns 0, or an errno value. */
int norvex_sandbox_become_subreaper(void);

/* Has the kernel kill the calling process when its parent ends. Returns 0, or an errno value;
 * the caller checks afterwards that its parent is still the one it expects. */
int norvex_sandbox_die_with_parent(void);

#ifdef __cplusplus
}
#endif
