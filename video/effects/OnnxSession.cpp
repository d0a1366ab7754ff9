#include "OnnxSession.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLibrary>
#include <QMutex>
#include <QMutexLocker>

#include <onnxruntime_c_api.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <stdexcept>
#include <string>

namespace {

// Largest tensor side and element count accepted from a model.
constexpr int64_t kMaxSide = 4096;
constexpr int64_t kMaxElements = int64_t(1) << 26;

QMutex runtimeMutex;
QString libraryNameOverride;

struct LoadedRuntime
{
    const OrtApi* api = nullptr;
    // The runtime keeps one environment per process; it lives as long as the
    // library, so sessions coming and going do not rebuild it.
    OrtEnv* env = nullptr;
    std::string error;
};

void forwardLog(void*, OrtLoggingLevel severity, const char* category, const char*, const char*, const char* message);

// Where the runtime is looked for: a name with a folder as it stands; a bare
// file name in lib/ beside the program's folder (where the build places it, and
// where it stays when the tree is moved), in the build's own lib/ (tests and
// benchmarks live in other folders), then wherever the system keeps libraries.
QStringList candidates(const QString& name)
{
    if (name.contains(QLatin1Char('/')))
        return {name};
    QStringList paths;
    if (QCoreApplication::instance())
        paths << QCoreApplication::applicationDirPath() + QStringLiteral("/../lib/") + name;
    paths << QStringLiteral(VANTOR_ONNXRUNTIME_BUILD_DIR "/") + name << name;
    return paths;
}

// Making an environment opens an empty trace file of the runtime's built-in
// telemetry, "mat-debug-<pid>.log", in the temporary folder, and nothing ever
// removes it: one more file for every start of the program. It goes while it
// is still empty.
void removeTelemetryTrace()
{
    const QFileInfo trace(
        QDir::temp().filePath(QStringLiteral("mat-debug-%1.log").arg(QCoreApplication::applicationPid())));
    if (trace.isFile() && !trace.isSymLink() && trace.size() == 0)
        QFile::remove(trace.filePath());
}

// The function table of the named library and its environment, loaded once
// per name. The library is never unloaded: its threads may outlive any one
// session.
const LoadedRuntime& loadRuntime(const QString& name)
{
    static std::map<QString, LoadedRuntime> loaded;
    QMutexLocker locker(&runtimeMutex);
    auto [it, fresh] = loaded.try_emplace(name);
    LoadedRuntime& runtime = it->second;
    if (fresh) {
        QLibrary library;
        for (const QString& path : candidates(name)) {
            library.setFileName(path);
            if (library.load())
                break;
        }
        using GetApiBase = const OrtApiBase* (*)();
        const auto getBase = reinterpret_cast<GetApiBase>(library.resolve("OrtGetApiBase"));
        const OrtApiBase* base = getBase ? getBase() : nullptr;
        if (!library.isLoaded())
            runtime.error =
                "ONNX Runtime (" + name.toStdString() + ") cannot be loaded: " + library.errorString().toStdString();
        else if (!base)
            runtime.error = "ONNX Runtime (" + name.toStdString() + ") has no OrtGetApiBase";
        else if (!(runtime.api = base->GetApi(ORT_API_VERSION)))
            runtime.error = std::string("ONNX Runtime ") + base->GetVersionString() + " does not offer API version "
                          + std::to_string(ORT_API_VERSION);
        else if (OrtStatus* status = runtime.api->CreateEnvWithCustomLogger(
                     forwardLog, nullptr, ORT_LOGGING_LEVEL_ERROR, "ForegroundSegmentation", &runtime.env)) {
            runtime.error = std::string("ONNX Runtime has no environment: ") + runtime.api->GetErrorMessage(status);
            runtime.api->ReleaseStatus(status);
            runtime.api = nullptr;
        } else {
            if (OrtStatus* status = runtime.api->DisableTelemetryEvents(runtime.env))
                runtime.api->ReleaseStatus(status);
            removeTelemetryTrace();
        }
    }
    if (!runtime.api)
        throw std::runtime_error(runtime.error);
    return runtime;
}

void forwardLog(void*, OrtLoggingLevel severity, const char* category, const char*, const char*, const char* message)
{
    if (severity >= ORT_LOGGING_LEVEL_ERROR)
        qWarning().noquote() << "ONNX Runtime" << category << message;
    else
        qInfo().noquote() << "ONNX Runtime" << category << message;
}

struct TensorInfo
{
    std::vector<int64_t> shape;
    size_t elements = 1;
};

} // namespace

struct OnnxSession::Private
{
    explicit Private(const LoadedRuntime& runtime)
        : api(*runtime.api)
        , env(runtime.env)
    {}

    ~Private()
    {
        // In the reverse order of creation.
        if (outputValue)
            api.ReleaseValue(outputValue);
        if (inputValue)
            api.ReleaseValue(inputValue);
        if (memory)
            api.ReleaseMemoryInfo(memory);
        if (session)
            api.ReleaseSession(session);
        if (options)
            api.ReleaseSessionOptions(options);
    }

    // Throws the runtime's message for a failed call.
    void check(OrtStatus* status) const
    {
        if (!status)
            return;
        std::string message = api.GetErrorMessage(status);
        api.ReleaseStatus(status);
        throw std::runtime_error(message);
    }

    std::string name(bool isInput, OrtAllocator* allocator) const
    {
        char* raw = nullptr;
        check(isInput ? api.SessionGetInputName(session, 0, allocator, &raw)
                      : api.SessionGetOutputName(session, 0, allocator, &raw));
        std::string copy = raw ? raw : "";
        if (raw)
            check(api.AllocatorFree(allocator, raw));
        return copy;
    }

    TensorInfo tensorInfo(bool isInput) const
    {
        const char* what = isInput ? "input" : "output";
        OrtTypeInfo* type = nullptr;
        check(isInput ? api.SessionGetInputTypeInfo(session, 0, &type)
                      : api.SessionGetOutputTypeInfo(session, 0, &type));
        TensorInfo info;
        try {
            const OrtTensorTypeAndShapeInfo* tensor = nullptr;
            check(api.CastTypeInfoToTensorInfo(type, &tensor));
            if (!tensor)
                throw std::runtime_error(std::string("the model's first ") + what + " is not a tensor");
            ONNXTensorElementDataType element {};
            check(api.GetTensorElementType(tensor, &element));
            if (element != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT)
                throw std::runtime_error(std::string("the model's first ") + what + " is not a float tensor");
            size_t count = 0;
            check(api.GetDimensionsCount(tensor, &count));
            info.shape.resize(count);
            check(api.GetDimensions(tensor, info.shape.data(), count));
        } catch (...) {
            api.ReleaseTypeInfo(type);
            throw;
        }
        api.ReleaseTypeInfo(type);
        if (info.shape.empty())
            throw std::runtime_error(std::string("the model's first ") + what + " has no shape");
        for (int64_t d : info.shape) {
            if (d <= 0 || d > kMaxSide)
                throw std::runtime_error(std::string("the model's first ") + what + " has a dimension of "
                                         + (d <= 0 ? "no fixed size" : "more than 4096"));
            // Checked as it grows, so that many dimensions cannot wrap it.
            info.elements *= size_t(d);
            if (info.elements > size_t(kMaxElements))
                throw std::runtime_error(std::string("the model's first ") + what + " is too large");
        }
        return info;
    }

    const OrtApi& api;
    OrtEnv* env; // the process's, not the session's
    OrtSessionOptions* options = nullptr;
    OrtSession* session = nullptr;
    OrtMemoryInfo* memory = nullptr;
    OrtValue* inputValue = nullptr;
    OrtValue* outputValue = nullptr;
    std::string inputName;
    std::string outputName;
    std::vector<int64_t> inputShape;
    std::vector<int64_t> outputShape;
    std::vector<float> inputBuffer;
    std::vector<float> outputBuffer;
};

OnnxSession::OnnxSession(const QByteArray& model, Provider provider, int threads)
    : d(std::make_unique<Private>(loadRuntime(libraryName())))
{
    const OrtApi& api = d->api;
    d->check(api.CreateSessionOptions(&d->options));
    d->check(api.SetSessionGraphOptimizationLevel(d->options, ORT_ENABLE_ALL));
    d->check(api.DisableMemPattern(d->options));
    d->check(api.SetSessionExecutionMode(d->options, ORT_SEQUENTIAL));
    d->check(api.SetIntraOpNumThreads(d->options, std::max(threads, 1)));
    d->check(api.SetInterOpNumThreads(d->options, 1));
    // Helper threads sleep between runs instead of spinning on a core the rest
    // of the program needs.
    d->check(api.AddSessionConfigEntry(d->options, "session.intra_op.allow_spinning", "0"));
    if (provider == Provider::Gpu)
        d->check(api.SessionOptionsAppendExecutionProvider(d->options, "WebGPU", nullptr, nullptr, 0));
    d->check(api.CreateSessionFromArray(d->env, model.constData(), size_t(model.size()), d->options, &d->session));

    size_t inputs = 0, outputs = 0;
    d->check(api.SessionGetInputCount(d->session, &inputs));
    d->check(api.SessionGetOutputCount(d->session, &outputs));
    if (inputs < 1 || outputs < 1)
        throw std::runtime_error("the model has no input or no output");
    OrtAllocator* allocator = nullptr;
    d->check(api.GetAllocatorWithDefaultOptions(&allocator));
    d->inputName = d->name(true, allocator);
    d->outputName = d->name(false, allocator);
    const TensorInfo in = d->tensorInfo(true), out = d->tensorInfo(false);
    d->inputShape = in.shape;
    d->outputShape = out.shape;
    d->inputBuffer.assign(in.elements, 0.0f);
    d->outputBuffer.assign(out.elements, 0.0f);

    d->check(api.CreateCpuMemoryInfo(OrtDeviceAllocator, OrtMemTypeDefault, &d->memory));
    d->check(api.CreateTensorWithDataAsOrtValue(d->memory, d->inputBuffer.data(), in.elements * sizeof(float),
                                                d->inputShape.data(), d->inputShape.size(),
                                                ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, &d->inputValue));
    d->check(api.CreateTensorWithDataAsOrtValue(d->memory, d->outputBuffer.data(), out.elements * sizeof(float),
                                                d->outputShape.data(), d->outputShape.size(),
                                                ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, &d->outputValue));
}

OnnxSession::~OnnxSession() = default;

const std::vector<int64_t>& OnnxSession::inputShape() const
{
    return d->inputShape;
}

const std::vector<int64_t>& OnnxSession::outputShape() const
{
    return d->outputShape;
}

float* OnnxSession::input()
{
    return d->inputBuffer.data();
}

const float* OnnxSession::output() const
{
    return d->outputBuffer.data();
}

void OnnxSession::run()
{
    const char* inputNames[] = {d->inputName.c_str()};
    const char* outputNames[] = {d->outputName.c_str()};
    d->check(d->api.Run(d->session, nullptr, inputNames, &d->inputValue, 1, outputNames, 1, &d->outputValue));
}

int OnnxSession::defaultThreads()
{
    const char* asked = std::getenv("VANTOR_INFERENCE_THREADS");
    const int threads = asked ? std::atoi(asked) : 1;
    return threads >= 1 && threads <= 8 ? threads : 1;
}

QString OnnxSession::libraryName()
{
    QMutexLocker locker(&runtimeMutex);
    return libraryNameOverride.isEmpty() ? QStringLiteral("libonnxruntime.so.1") : libraryNameOverride;
}

void OnnxSession::setLibraryName(const QString& name)
{
    QMutexLocker locker(&runtimeMutex);
    libraryNameOverride = name;
}
