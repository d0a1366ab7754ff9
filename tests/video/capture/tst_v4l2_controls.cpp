// Camera controls over V4L2 against an emulated device node that behaves like
// a typical UVC webcam (exposure's automatic mode is aperture priority only).
#include "platform/V4l2CameraControls.h"

#include <QtTest>

#include <cerrno>
#include <linux/videodev2.h>
#include <map>

namespace {

struct Control
{
    int minimum, maximum, step, def, value;
    bool disabled = false;
};

class EmulatedNode : public V4l2Io
{
public:
    std::map<unsigned, Control> controls;
    int calls = 0;
    bool broken = false;

    int xioctl(unsigned long request, void* arg) override
    {
        ++calls;
        if (broken) {
            errno = ENODEV;
            return -1;
        }
        if (request == VIDIOC_QUERYCTRL) {
            auto* q = static_cast<v4l2_queryctrl*>(arg);
            auto it = controls.find(q->id);
            if (it == controls.end())
                return fail();
            q->minimum = it->second.minimum;
            q->maximum = it->second.maximum;
            q->step = it->second.step;
            q->default_value = it->second.def;
            q->flags = it->second.disabled ? V4L2_CTRL_FLAG_DISABLED : 0;
            return 0;
        }
        auto* c = static_cast<v4l2_control*>(arg);
        auto it = controls.find(c->id);
        if (it == controls.end())
            return fail();
        if (request == VIDIOC_G_CTRL) {
            c->value = it->second.value;
            return 0;
        }
        if (request == VIDIOC_S_CTRL) {
            // Like UVC cameras: the absolute exposure is read-only while automatic,
            // and "auto" exposure is refused, only aperture priority is offered.
            if (c->id == V4L2_CID_EXPOSURE_AUTO && c->value == V4L2_EXPOSURE_AUTO)
                return fail();
            if (c->id == V4L2_CID_EXPOSURE_ABSOLUTE && controls[V4L2_CID_EXPOSURE_AUTO].value != V4L2_EXPOSURE_MANUAL)
                return fail();
            if (c->value < it->second.minimum || c->value > it->second.maximum)
                return fail();
            it->second.value = c->value;
            return 0;
        }
        return fail();
    }

private:
    static int fail()
    {
        errno = EINVAL;
        return -1;
    }
};

std::unique_ptr<EmulatedNode> webcam()
{
    auto node = std::make_unique<EmulatedNode>();
    node->controls = {
        {V4L2_CID_BRIGHTNESS, {-64, 64, 1, 0, 5}},
        {V4L2_CID_CONTRAST, {0, 95, 1, 32, 32}},
        {V4L2_CID_SATURATION, {0, 100, 1, 52, 52}},
        {V4L2_CID_WHITE_BALANCE_TEMPERATURE, {2800, 6500, 10, 4600, 4600}},
        {V4L2_CID_AUTO_WHITE_BALANCE, {0, 1, 1, 1, 1}},
        {V4L2_CID_EXPOSURE_ABSOLUTE, {3, 2041, 1, 166, 166}},
        {V4L2_CID_EXPOSURE_AUTO, {0, 3, 1, V4L2_EXPOSURE_APERTURE_PRIORITY, V4L2_EXPOSURE_APERTURE_PRIORITY}},
        {V4L2_CID_FOCUS_ABSOLUTE, {0, 1023, 1, 0, 0}},
        {V4L2_CID_FOCUS_AUTO, {0, 1, 1, 1, 1}},
        {V4L2_CID_SHARPNESS, {1, 7, 1, 2, 2, true}},
    };
    return node;
}

} // namespace

class V4l2ControlsTest : public QObject
{
    Q_OBJECT

private slots:
    void rangesAndAutomaticSupport()
    {
        V4l2CameraControls controls(webcam());
        long mn, mx, st, def, caps;
        QVERIFY(controls.getRange(CameraProperty::WhiteBalance, mn, mx, st, def, caps));
        QCOMPARE(mn, 2800L);
        QCOMPARE(mx, 6500L);
        QCOMPARE(st, 10L);
        QCOMPARE(def, 4600L);
        QCOMPARE(caps, long(CameraControls::Auto | CameraControls::Manual));
        QVERIFY(controls.getRange(CameraProperty::Brightness, mn, mx, st, def, caps));
        QCOMPARE(caps, long(CameraControls::Manual));
        // Missing and disabled controls are not offered.
        QVERIFY(!controls.getRange(CameraProperty::Zoom, mn, mx, st, def, caps));
        QVERIFY(!controls.getRange(CameraProperty::Sharpness, mn, mx, st, def, caps));
        QVERIFY(controls.hasGroup(ControlGroup::VideoProcAmp));
        QVERIFY(controls.hasGroup(ControlGroup::CameraControl));
    }

    void valuesAndModesReadBack()
    {
        V4l2CameraControls controls(webcam());
        long value = 0, flags = 0;
        QVERIFY(controls.get(CameraProperty::Brightness, value, flags));
        QCOMPARE(value, 5L);
        QCOMPARE(flags, long(CameraControls::Manual));
        QVERIFY(controls.get(CameraProperty::Exposure, value, flags));
        QCOMPARE(flags, long(CameraControls::Auto)); // aperture priority counts as automatic
    }

    void manualExposureLeavesAutomaticFirstAndAutomaticUsesAperturePriority()
    {
        auto node = webcam();
        EmulatedNode* raw = node.get();
        V4l2CameraControls controls(std::move(node));
        QVERIFY(controls.set(CameraProperty::Exposure, 500, CameraControls::Manual));
        QCOMPARE(raw->controls[V4L2_CID_EXPOSURE_AUTO].value, int(V4L2_EXPOSURE_MANUAL));
        QCOMPARE(raw->controls[V4L2_CID_EXPOSURE_ABSOLUTE].value, 500);
        long value = 0, flags = 0;
        QVERIFY(controls.get(CameraProperty::Exposure, value, flags));
        QCOMPARE(value, 500L);
        QCOMPARE(flags, long(CameraControls::Manual));

        QVERIFY(controls.set(CameraProperty::Exposure, 500, CameraControls::Auto));
        QCOMPARE(raw->controls[V4L2_CID_EXPOSURE_AUTO].value, int(V4L2_EXPOSURE_APERTURE_PRIORITY));

        QVERIFY(controls.set(CameraProperty::Focus, 100, CameraControls::Manual));
        QCOMPARE(raw->controls[V4L2_CID_FOCUS_AUTO].value, 0);
        QCOMPARE(raw->controls[V4L2_CID_FOCUS_ABSOLUTE].value, 100);
        QVERIFY(controls.set(CameraProperty::Focus, 100, CameraControls::Auto));
        QCOMPARE(raw->controls[V4L2_CID_FOCUS_AUTO].value, 1);
    }

    void refusalsAreReported()
    {
        auto node = webcam();
        EmulatedNode* raw = node.get();
        V4l2CameraControls controls(std::move(node));
        QVERIFY(!controls.set(CameraProperty::Brightness, 1000, CameraControls::Manual)); // out of range
        QVERIFY(!controls.set(CameraProperty::Brightness, 1, CameraControls::Auto));      // has no automatic mode
        QVERIFY(!controls.set(CameraProperty::Zoom, 1, CameraControls::Manual));          // not there
        raw->broken = true;                                                               // unplugged
        long value = 0, flags = 0;
        QVERIFY(!controls.get(CameraProperty::Brightness, value, flags));
        QVERIFY(!controls.hasGroup(ControlGroup::VideoProcAmp));
    }

    void noCameraControlGroupWithoutItsControls()
    {
        auto node = std::make_unique<EmulatedNode>();
        node->controls = {{V4L2_CID_BRIGHTNESS, {0, 255, 1, 128, 128}}};
        V4l2CameraControls controls(std::move(node));
        QVERIFY(controls.hasGroup(ControlGroup::VideoProcAmp));
        QVERIFY(!controls.hasGroup(ControlGroup::CameraControl));
    }
};

QTEST_GUILESS_MAIN(V4l2ControlsTest)
#include "tst_v4l2_controls.moc"
