// The names under which the Linux virtual camera is published on PipeWire
// (vcam/pipewire). The capture layer knows them too: GStreamer's PipeWire
// device provider lists that node as one more "Vantor Control" camera, which
// the suite leaves out (its own provider lists the same camera).
#pragma once

namespace PipeWireCamera {

// node.name: stable, what consumers target (pipewiresrc target-object=...).
constexpr char kNodeName[] = "vantor-vcam";
// node.description and node.nick: what programs show in their camera lists.
constexpr char kDescription[] = "Vantor Control";

} // namespace PipeWireCamera
