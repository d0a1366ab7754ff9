#include "CustomEffectsBase.h"

#include <QDebug>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>

#include <new>

namespace {

struct Registration
{
    QString name;
    CustomEffectsBase::Factory create;
};

QMutex& registryMutex()
{
    static QMutex mutex;
    return mutex;
}

QHash<QUuid, Registration>& registry()
{
    static QHash<QUuid, Registration> entries;
    return entries;
}

} // namespace

CustomEffectsBase::CustomEffectsBase(const QUuid& shaderId, quint32 inputCount)
    : _shaderId(shaderId)
    , _inputCount(std::min(inputCount, kMaxInputs))
{}

CustomEffectsBase::~CustomEffectsBase() = default;

QString CustomEffectsBase::registrationXml(const QString& name)
{
    return QStringLiteral("<?xml version='1.0'?>"
                          "<Effect>"
                          "<Property name='DisplayName' type='string' value='%1'/>"
                          "<Property name='Author' type='string' value='Orvane systems'/>"
                          "<Property name='Category' type='string' value='Experimental'/>"
                          "<Property name='Description' type='string' value='My first effect.'/>"
                          "<Inputs>"
                          "<Input name='Source1'/>"
                          "<Input name='Source2'/>"
                          "<Input name='Source3'/>"
                          "</Inputs>"
                          "</Effect>")
        .arg(name.toHtmlEscaped());
}

bool CustomEffectsBase::registerEffect(const QString& name, const QUuid& classId, Factory create)
{
    qDebug() << "Registering " << name << "class id" << classId;
    QMutexLocker locker(&registryMutex());
    auto it = registry().constFind(classId);
    if (classId.isNull() || !create || (it != registry().cend() && it->name != name)) {
        qWarning() << "MyEffect:Register: RegisterEffectFromString() failed. " << name << classId;
        return false;
    }
    registry().insert(classId, Registration {name, std::move(create)});
    return true;
}

std::unique_ptr<CustomEffectsBase> CustomEffectsBase::createEffect(const QUuid& classId)
{
    Factory create;
    {
        QMutexLocker locker(&registryMutex());
        auto it = registry().constFind(classId);
        if (it == registry().cend())
            return {};
        create = it->create;
    }
    std::unique_ptr<CustomEffectsBase> effect(create());
    if (!effect || !effect->initialize())
        return {};
    return effect;
}

QString CustomEffectsBase::displayName(const QUuid& classId)
{
    QMutexLocker locker(&registryMutex());
    return registry().value(classId).name;
}

bool CustomEffectsBase::initialize()
{
    if (_initialized)
        return _initResult;
    _initialized = true;
    qDebug() << "Loading pixel shader " << _shaderId << "->" << static_cast<const void*>(this);
    _initResult = setUp();
    if (!_initResult)
        qWarning() << "MyEffect:Initialize: Unable to create pixel shader " << _shaderId;
    return _initResult;
}

bool CustomEffectsBase::setInput(quint32 index, const cv::Mat* input)
{
    if (index >= _inputCount)
        return false;
    _inputs[index] = input;
    return true;
}

bool CustomEffectsBase::mapOutputRectToInputRects(const QRect& output, QRect* inputs, quint32 inputCount) const
{
    if (inputCount != _inputCount) {
        qWarning() << "MyEffect:MapOutputRectToInputRects: Only " << _inputCount << " inputs are supported."
                   << inputCount;
        return false;
    }
    for (quint32 i = 0; i < inputCount; ++i)
        inputs[i] = output;
    return true;
}

bool CustomEffectsBase::mapInputRectsToOutputRect(const QRect* inputs, quint32 inputCount, QRect& output, QRect& opaque)
{
    if (inputCount != _inputCount) {
        qWarning() << "MyEffect:MapInputRectsToOutputRect: Only " << _inputCount << " inputs are supported."
                   << inputCount;
        return false;
    }
    for (quint32 i = 0; i < inputCount; ++i) {
        _inputRects[i] = inputs[i];
        output = inputs[i];
    }
    opaque = QRect();
    return true;
}

bool CustomEffectsBase::draw(cv::Mat& target, int firstRow, int endRow)
{
    if (!_initResult || target.type() != CV_8UC4 || target.empty())
        return false;
    QRect rects[kMaxInputs];
    for (quint32 i = 0; i < _inputCount; ++i) {
        const cv::Mat* in = _inputs[i];
        if (!in || in->type() != CV_8UC4 || in->size() != target.size())
            return false;
        rects[i] = QRect(0, 0, in->cols, in->rows);
    }
    QRect output, opaque;
    if (!mapInputRectsToOutputRect(rects, _inputCount, output, opaque))
        return false;
    firstRow = std::max(firstRow, 0);
    endRow = std::min(endRow, target.rows);
    const unsigned char* rows[kMaxInputs] = {};
    for (int y = firstRow; y < endRow; ++y) {
        for (quint32 i = 0; i < _inputCount; ++i)
            rows[i] = _inputs[i]->ptr(y);
        shadeRow(rows, target.ptr(y), target.cols);
    }
    return true;
}
