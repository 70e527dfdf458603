/* sancov.c: native edge coverage for atheris under gcc's AddressSanitizer.
 *
 * Two things stand between atheris's libFuzzer and coverage of our gcc-built modules:
 * - gcc instruments only with -fsanitize-coverage=trace-pc (one call per basic block), which libFuzzer no
 *   longer counts; this library counts those calls in an inline 8-bit counter table of its own, keyed by
 *   the caller's address, and hands the table to libFuzzer as one more module;
 * - gcc's libasan, which must be preloaded, defines weak no-op versions of libFuzzer's coverage entry points,
 *   and the dynamic linker binds atheris's own calls to them, so even Python coverage is lost ("Coverage
 *   symbols are being provided by a library other than libFuzzer"). Preloaded before libasan, this library
 *   defines the same entry points and forwards them to the libFuzzer inside atheris.
 *
 * Preload it first (LD_PRELOAD="libcorvel_sancov.so libasan.so ...", with ASAN_OPTIONS=verify_asan_link_order=0).
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <link.h>
#include <stdint.h>
#include <string.h>

#define SLOTS (1u << 16)

static uint8_t counters[SLOTS];
static uintptr_t pcs[2 * SLOTS]; /* (pc, flags) pairs; libFuzzer wants one per counter */
static void *fuzzer;             /* atheris's core_with_libfuzzer, once Python has loaded it */
static int registered;

static int find_fuzzer(struct dl_phdr_info *info, size_t size, void *path) {
    (void) size;
    if (info->dlpi_name && strstr(info->dlpi_name, "core_with_libfuzzer")) {
        *(const char **) path = info->dlpi_name;
        return 1;
    }
    return 0;
}

static void *fuzzer_symbol(const char *name) {
    if (!fuzzer) {
        const char *path = NULL;
        dl_iterate_phdr(find_fuzzer, &path);
        if (!path || !(fuzzer = dlopen(path, RTLD_NOW | RTLD_NOLOAD)))
            return NULL;
    }
    return dlsym(fuzzer, name);
}

__attribute__((visibility("default"))) void __sanitizer_cov_trace_pc(void) {
    uintptr_t pc = (uintptr_t) __builtin_return_address(0);
    counters[(pc ^ (pc >> 16)) & (SLOTS - 1)]++;
}

typedef void (*range_fn)(const void *, const void *);

__attribute__((visibility("default"))) void __sanitizer_cov_8bit_counters_init(uint8_t *start, uint8_t *stop) {
    range_fn init = (range_fn) fuzzer_symbol("__sanitizer_cov_8bit_counters_init");
    if (init)
        init(start, stop);
}

/* libFuzzer pairs counter tables with PC tables in registration order, so ours follow atheris's first pair. */
__attribute__((visibility("default"))) void __sanitizer_cov_pcs_init(const uintptr_t *start, const uintptr_t *stop) {
    range_fn counters_init = (range_fn) fuzzer_symbol("__sanitizer_cov_8bit_counters_init");
    range_fn pcs_init = (range_fn) fuzzer_symbol("__sanitizer_cov_pcs_init");
    if (!counters_init || !pcs_init)
        return;
    pcs_init(start, stop);
    if (!registered) {
        registered = 1;
        for (uintptr_t i = 0; i < SLOTS; ++i)
            pcs[2 * i] = 0x1000 + i; /* made-up but distinct: the table only names the counters */
        counters_init(counters, counters + SLOTS);
        pcs_init(pcs, pcs + 2 * SLOTS);
    }
}

/* The comparison hooks atheris feeds from Python code; forwarded, or libasan's no-ops would swallow them. */
#define FORWARD(name, type)                                                        \
    __attribute__((visibility("default"))) void name(type a, type b) {             \
        static void (*target)(type, type);                                         \
        if (!target && !(target = (void (*)(type, type)) fuzzer_symbol(#name)))    \
            return;                                                                \
        target(a, b);                                                              \
    }
FORWARD(__sanitizer_cov_trace_cmp1, uint8_t)
FORWARD(__sanitizer_cov_trace_cmp2, uint16_t)
FORWARD(__sanitizer_cov_trace_cmp4, uint32_t)
FORWARD(__sanitizer_cov_trace_cmp8, uint64_t)
FORWARD(__sanitizer_cov_trace_const_cmp1, uint8_t)
FORWARD(__sanitizer_cov_trace_const_cmp2, uint16_t)
FORWARD(__sanitizer_cov_trace_const_cmp4, uint32_t)
FORWARD(__sanitizer_cov_trace_const_cmp8, uint64_t)

__attribute__((visibility("default"))) void __sanitizer_cov_trace_switch(uint64_t value, uint64_t *cases) {
    static void (*target)(uint64_t, uint64_t *);
    if (!target && !(target = (void (*)(uint64_t, uint64_t *)) fuzzer_symbol("__sanitizer_cov_trace_switch")))
        return;
    target(value, cases);
}
