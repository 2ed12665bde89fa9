/* CORVUS_EXPORT marks the library's interface: the library is built with
 * hidden symbol visibility, so only functions and objects declared with it
 * are exported; internal helpers and third-party code stay private and cannot
 * clash with a host's own copies. */
#ifndef CORVUS_EXPORT_H
#define CORVUS_EXPORT_H

#if defined(__GNUC__) || defined(__clang__)
#define CORVUS_EXPORT __attribute__((visibility("default")))
#else
#define CORVUS_EXPORT
#endif

#endif
