#pragma once

#include <QRect>
#include <QString>
#include <QUuid>

#include <opencv2/core.hpp>

#include <functional>
#include <memory>

// Shared implementation of a one-pass per-pixel effect: registration under a
// class identifier with a display name, one-time set-up per instance, the
// rectangle mapping with its input-count checks, and drawing into a target
// bitmap row range by row range. A derived effect supplies the per-pixel
// function (shadeRow) over premultiplied B8G8R8A8 inputs of one size.
class CustomEffectsBase
{
public:
    static constexpr quint32 kMaxInputs = 10;
    // Creates a new instance, or nullptr when memory runs out.
    using Factory = std::function<CustomEffectsBase*()>;

    CustomEffectsBase(const QUuid& shaderId, quint32 inputCount);
    virtual ~CustomEffectsBase();
    CustomEffectsBase(const CustomEffectsBase&) = delete;
    CustomEffectsBase& operator=(const CustomEffectsBase&) = delete;

    // Registers an effect class; false (with a warning) when the identifier is
    // null or already taken by another name.
    static bool registerEffect(const QString& name, const QUuid& classId, Factory create);
    // A new, initialised instance of a registered class; nullptr when the class
    // is unknown or its set-up fails.
    static std::unique_ptr<CustomEffectsBase> createEffect(const QUuid& classId);
    static QString displayName(const QUuid& classId);
    // The effect's self-description as registered.
    static QString registrationXml(const QString& name);

    quint32 inputCount() const { return _inputCount; }
    const QUuid& shaderId() const { return _shaderId; }
    bool isInitialized() const { return _initialized; }

    // One-time set-up; later calls return the first result.
    bool initialize();

    bool setInput(quint32 index, const cv::Mat* input);
    bool mapOutputRectToInputRects(const QRect& output, QRect* inputs, quint32 inputCount) const;
    bool mapInputRectsToOutputRect(const QRect* inputs, quint32 inputCount, QRect& output, QRect& opaque);
    QRect mapInvalidRect() const { return _inputRects[0]; }

    // Writes rows [firstRow, endRow) of the effect's output into `target`, which
    // must be CV_8UC4 of the inputs' size. False (nothing drawn) when an input is
    // missing or the sizes disagree.
    bool draw(cv::Mat& target, int firstRow, int endRow);
    bool draw(cv::Mat& target) { return draw(target, 0, target.rows); }

protected:
    // Set-up run once per instance; the default has nothing to prepare.
    virtual bool setUp() { return true; }
    // Computes `width` output pixels from the same row of every input.
    virtual void shadeRow(const unsigned char* const* inputs, unsigned char* out, int width) const = 0;

private:
    QRect _inputRects[kMaxInputs];
    QUuid _shaderId;
    quint32 _inputCount;
    const cv::Mat* _inputs[kMaxInputs] = {};
    bool _initialized = false;
    bool _initResult = false;
};
