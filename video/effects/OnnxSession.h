#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

// A network run by ONNX Runtime. The runtime is the library shipped beside the
// program (libonnxruntime.so.1 in lib/ next to the program's folder), loaded
// the first time a session is made and kept for the life of the process. The
// network's first input and first output are float tensors of fixed shape,
// bound to buffers the session owns, so a run copies no tensor data. Every
// failure, from loading the library to a run, throws std::runtime_error with the
// runtime's own message; the runtime's log goes to the program's log.
class OnnxSession
{
public:
    enum class Provider {
        // The runtime's WebGPU execution provider (Vulkan on Linux), with the
        // CPU taking what it cannot run.
        Gpu,
        Cpu,
    };

    // Parses and optimises the model (graph optimisation "all", sequential
    // execution, no memory pattern). `threads` is the runtime's own thread
    // count inside one run; the caller's thread is one of them.
    OnnxSession(const QByteArray& model, Provider provider, int threads = defaultThreads());
    ~OnnxSession();
    OnnxSession(const OnnxSession&) = delete;
    OnnxSession& operator=(const OnnxSession&) = delete;

    const std::vector<int64_t>& inputShape() const;
    const std::vector<int64_t>& outputShape() const;
    // The input tensor's values, filled by the caller before run(), and the
    // output tensor's, written by run(); each as many as its shape holds.
    float* input();
    const float* output() const;
    void run();

    // One thread unless VANTOR_INFERENCE_THREADS asks for more (up to 8): the
    // network runs on the pipeline's worker, next to the rest of the program.
    static int defaultThreads();
    // The runtime's file name, "libonnxruntime.so.1" unless set otherwise
    // (tests name a library that cannot be loaded). Takes effect for sessions
    // made afterwards.
    static QString libraryName();
    static void setLibraryName(const QString& name);

private:
    struct Private;
    std::unique_ptr<Private> d;
};
