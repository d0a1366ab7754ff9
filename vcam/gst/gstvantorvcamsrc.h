// The live source "vantorvcamsrc": the virtual camera "Vantor Control" for
// programs that use GStreamer. It delivers the frames the control application
// publishes in the shared frame channel (or the pulsing placeholder) at
// 1280 x 720, 30 frames per second, in one of five formats, and counts as one
// client in the shared instance counter from start() to stop().
#pragma once

#include <gst/gst.h>

G_BEGIN_DECLS

GType vantor_vcam_src_get_type(void);

// The formats, size and rate the camera offers, in the order clients see
// them (the device provider lists the same).
GstCaps* vantor_vcam_offered_caps(void);

G_END_DECLS
