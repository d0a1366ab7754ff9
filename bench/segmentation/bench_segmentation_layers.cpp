// Where the segmentation networks spend their time in OpenCV DNN on one thread:
// for each converted model, the median forward pass and, per layer type, the sum
// of the layers' median times from the network's own profile (layers OpenCV
// fused into another one report no time of their own). Prints
// "segmentation_layers_<model>_<type>_ms" figures and the number of layers of
// each type that still run. With model paths as arguments it profiles those
// instead, and "--layers" also lists every layer that runs, slowest first.
#include "OnnxModelInfo.h"
#include "PictureBench.h"

#include <opencv2/core.hpp>
#include <opencv2/core/utility.hpp>
#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace {

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::nth_element(v.begin(), v.begin() + long(v.size() / 2), v.end());
    return v[v.size() / 2];
}

bool profile(const std::string& label, const std::string& path, bool listLayers)
try {
    cv::dnn::Net net = cv::dnn::readNetFromONNX(path);
    net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
    net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);

    // The input size as the model declares it (OpenCV does not report it).
    std::ifstream file(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    OnnxTensorInfo in, out;
    if (!readOnnxModelInfo(bytes.data(), bytes.size(), in, out) || in.shape.size() != 4
        || *std::min_element(in.shape.begin() + 1, in.shape.end()) <= 0) {
        std::fprintf(stderr, "%s: not a model with a fixed-size 4-d input\n", path.c_str());
        return false;
    }
    // The activations' cost depends on their values: feed the benchmark's
    // camera frame, normalised as the segmentation stage does it.
    const QImage frame = bench::cameraFrame();
    const cv::Mat bgra(frame.height(), frame.width(), CV_8UC4, const_cast<uchar*>(frame.constBits()),
                       size_t(frame.bytesPerLine()));
    cv::Mat small, bgr, f;
    cv::resize(bgra, small, cv::Size(int(in.shape[3]), int(in.shape[2])), 0, 0, cv::INTER_LINEAR);
    cv::cvtColor(small, bgr, cv::COLOR_BGRA2BGR);
    bgr.convertTo(f, CV_32F);
    cv::subtract(f, cv::Scalar(102.890434, 111.25247, 126.91212), f);
    cv::multiply(f, cv::Scalar(0.01588993487033495, 0.015918147611529706, 0.015070294257291065), f);
    net.setInput(cv::dnn::blobFromImage(f, 1.0 / 255.0, f.size(), cv::Scalar(), false, false, CV_32F));

    const std::vector<std::string> names = net.getLayerNames();
    std::vector<std::string> types(names.size());
    for (size_t i = 0; i < names.size(); ++i)
        types[i] = net.getLayer(net.getLayerId(names[i]))->type;

    for (int i = 0; i < 10; ++i)
        net.forward();
    const int runs = 60;
    std::vector<std::vector<double>> perLayer(names.size());
    std::vector<double> totals;
    const double tick = 1000.0 / cv::getTickFrequency();
    for (int r = 0; r < runs; ++r) {
        const int64 t0 = cv::getTickCount();
        net.forward();
        totals.push_back(double(cv::getTickCount() - t0) * tick);
        std::vector<double> timings;
        net.getPerfProfile(timings);
        for (size_t i = 0; i < names.size() && i < timings.size(); ++i)
            perLayer[i].push_back(timings[i] * tick);
    }

    std::map<std::string, std::pair<double, int>> byType;
    std::vector<std::pair<double, size_t>> running;
    for (size_t i = 0; i < names.size(); ++i) {
        const double ms = median(perLayer[i]);
        if (ms <= 0)
            continue; // fused into another layer
        auto& t = byType[types[i]];
        t.first += ms;
        ++t.second;
        running.emplace_back(ms, i);
    }
    std::printf("segmentation_layers_%s_forward_ms: %.3f ms\n", label.c_str(), median(totals));
    for (const auto& [type, t] : byType) {
        std::printf("segmentation_layers_%s_%s_ms: %.3f ms\n", label.c_str(), type.c_str(), t.first);
        std::printf("segmentation_layers_%s_%s_count: %d layers\n", label.c_str(), type.c_str(), t.second);
    }
    if (listLayers) {
        std::sort(running.rbegin(), running.rend());
        for (const auto& [ms, i] : running)
            std::printf("  %8.4f ms  %-16s %s\n", ms, types[i].c_str(), names[i].c_str());
    }
    return true;
} catch (const cv::Exception& e) {
    std::fprintf(stderr, "%s: %s\n", path.c_str(), e.what());
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    cv::setNumThreads(1);
    bool listLayers = false;
    std::vector<std::string> paths;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--layers") == 0)
            listLayers = true;
        else
            paths.emplace_back(argv[i]);
    }
    if (paths.empty()) {
        const bool ok = profile("256x256", VANTOR_MODELS_DIR "/selfie_segmentation.onnx", listLayers)
                     && profile("144x256", VANTOR_MODELS_DIR "/selfie_segmentation_landscape.onnx", listLayers);
        return ok ? 0 : 1;
    }
    bool ok = true;
    for (const auto& p : paths) {
        const size_t slash = p.find_last_of('/');
        std::string label = p.substr(slash == std::string::npos ? 0 : slash + 1);
        label = label.substr(0, label.find('.'));
        ok = profile(label, p, listLayers) && ok;
    }
    return ok ? 0 : 1;
}
