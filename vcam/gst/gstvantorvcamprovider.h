// The device provider that lists "Vantor Control" (class Video/Source) for
// device monitors; its device makes a "vantorvcamsrc".
#pragma once

#include <gst/gst.h>

G_BEGIN_DECLS

GType vantor_vcam_provider_get_type(void);

G_END_DECLS
