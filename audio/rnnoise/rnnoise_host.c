/* Host side of the sandboxed RNNoise module.
 *
 * The module is the Emscripten build of RNNoise translated to C by wasm2c. Each
 * denoiser owns a whole module instance (its own linear memory), so a fault in
 * one denoiser cannot damage another. Every call into a module runs under a
 * trap guard: a trap (out-of-bounds access, bad indirect call, ...) unwinds to
 * the guard, the instance is freed and a fresh one is started, and the frame
 * passes through unchanged.
 *
 * The wasm2c runtime keeps its unwind target in one process-wide jmp_buf, so
 * all calls into any instance are serialised by one lock. */
#include "rnnoise.h"
#include "rnnoise_testing.h"

#include "rnnoise_bindings.h"
#include "wasm-rt-impl.h"

#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { FRAME_SIZE = 480, FRAME_BYTES = FRAME_SIZE * (int)sizeof(float) };

/* The model needs a few hundred KiB of heap; growth beyond this means the
 * module went astray. */
#define MAX_MODULE_MEMORY (64u * 1024u * 1024u)
#define WASM_PAGE 65536u

struct RNNW_HOST_INSTANCE
{
    RNNW_MODULE_INSTANCE* module;
};

struct DenoiseState
{
    RNNW_MODULE_INSTANCE module;
    struct RNNW_HOST_INSTANCE host;
    int alive;
    u32 state;
    u32 inBuf;
    u32 outBuf;
    unsigned restarts;
};

static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static int g_runtimeReady;

/* Import: emscripten_resize_heap(requested byte size) -> 1 on success. */
u32 RNNW_IMPORT_RESIZE_HEAP(struct RNNW_HOST_INSTANCE* host, u32 requested)
{
    wasm_rt_memory_t* mem = RNNW_EXPORT_MEMORY(host->module);
    if (requested > MAX_MODULE_MEMORY)
        return 0;
    uint64_t pages = ((uint64_t)requested + WASM_PAGE - 1) / WASM_PAGE;
    if (pages <= mem->pages)
        return 1;
    return wasm_rt_grow_memory(mem, (u32)(pages - mem->pages)) != (u32)-1;
}

static int inBounds(const wasm_rt_memory_t* mem, u32 addr, uint64_t len)
{
    return (uint64_t)addr + len <= mem->size;
}

/* Import: emscripten_memcpy_big(dest, src, n) inside the module's memory. */
void RNNW_IMPORT_MEMCPY_BIG(struct RNNW_HOST_INSTANCE* host, u32 dest, u32 src, u32 n)
{
    wasm_rt_memory_t* mem = RNNW_EXPORT_MEMORY(host->module);
    if (!inBounds(mem, dest, n) || !inBounds(mem, src, n))
        wasm_rt_trap(WASM_RT_TRAP_OOB);
    memmove(mem->data + dest, mem->data + src, n);
}

static int ensureRuntime(void)
{
    if (!g_runtimeReady) {
        wasm_rt_init();
        RNNW_INIT_MODULE();
        g_runtimeReady = 1;
    }
    return 1;
}

static void stopInstance(DenoiseState* st)
{
    RNNW_FREE(&st->module);
    memset(&st->module, 0, sizeof st->module);
    st->alive = 0;
}

/* Starts a fresh module instance with one denoiser and two frame buffers.
 * Called with g_lock held. */
static int startInstance(DenoiseState* st)
{
    memset(&st->module, 0, sizeof st->module);
    st->host.module = &st->module;
    st->alive = 0;
    if (wasm_rt_impl_try() != 0) {
        RNNW_FREE(&st->module);
        memset(&st->module, 0, sizeof st->module);
        return 0;
    }
    RNNW_INSTANTIATE(&st->module, &st->host);
    RNNW_EXPORT_CALL_CTORS(&st->module);
    st->state = RNNW_EXPORT_RNNOISE_CREATE(&st->module, 0);
    st->inBuf = RNNW_EXPORT_MALLOC(&st->module, FRAME_BYTES);
    st->outBuf = RNNW_EXPORT_MALLOC(&st->module, FRAME_BYTES);
    if (st->state == 0 || st->inBuf == 0 || st->outBuf == 0) {
        stopInstance(st);
        return 0;
    }
    st->alive = 1;
    return 1;
}

int rnnoise_get_frame_size(void)
{
    return FRAME_SIZE;
}

DenoiseState* rnnoise_create(RNNModel* model)
{
    if (model != NULL)
        return NULL;
    DenoiseState* st = calloc(1, sizeof *st);
    if (st == NULL)
        return NULL;
    pthread_mutex_lock(&g_lock);
    int ok = ensureRuntime() && startInstance(st);
    pthread_mutex_unlock(&g_lock);
    if (!ok) {
        free(st);
        return NULL;
    }
    return st;
}

float rnnoise_process_frame(DenoiseState* st, float* out, const float* in)
{
    float frame[FRAME_SIZE];
    memcpy(frame, in, sizeof frame);
    volatile float vad = 0.0f;

    pthread_mutex_lock(&g_lock);
    if (!st->alive && !startInstance(st)) {
        pthread_mutex_unlock(&g_lock);
        memcpy(out, frame, sizeof frame);
        return 0.0f;
    }
    int trap = wasm_rt_impl_try();
    if (trap == 0) {
        wasm_rt_memory_t* mem = RNNW_EXPORT_MEMORY(&st->module);
        if (!inBounds(mem, st->inBuf, FRAME_BYTES))
            wasm_rt_trap(WASM_RT_TRAP_OOB);
        memcpy(mem->data + st->inBuf, frame, FRAME_BYTES);
        vad = RNNW_EXPORT_RNNOISE_PROCESS_FRAME(&st->module, st->state, st->outBuf, st->inBuf);
        mem = RNNW_EXPORT_MEMORY(&st->module); /* growth may have moved it */
        if (!inBounds(mem, st->outBuf, FRAME_BYTES))
            wasm_rt_trap(WASM_RT_TRAP_OOB);
        memcpy(out, mem->data + st->outBuf, FRAME_BYTES);
    } else {
        fprintf(stderr, "rnnoise: module trapped (%s); starting a fresh instance\n",
                wasm_rt_strerror((wasm_rt_trap_t)trap));
        stopInstance(st);
        st->restarts++;
        startInstance(st);
        memcpy(out, frame, sizeof frame);
        vad = 0.0f;
    }
    pthread_mutex_unlock(&g_lock);
    return vad;
}

void rnnoise_destroy(DenoiseState* st)
{
    if (st == NULL)
        return;
    pthread_mutex_lock(&g_lock);
    if (st->alive)
        stopInstance(st);
    pthread_mutex_unlock(&g_lock);
    free(st);
}

void rnnoise_testing_corrupt(DenoiseState* st)
{
    pthread_mutex_lock(&g_lock);
    st->state = 0xFFFFFF00u;
    pthread_mutex_unlock(&g_lock);
}

unsigned rnnoise_testing_restart_count(const DenoiseState* st)
{
    return st->restarts;
}
