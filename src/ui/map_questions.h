// What the map answers about what it shows: the tooltip of a host or a
// link, the host watch on a double click, and the lists' host commands on a
// right click. The Zoom Box follows the map's wheel and drag.
#pragma once

#include <QString>

#include "ui/map_view.h"

namespace tarnix {
class TrafficModel;
}

namespace tarnix::ui {

class WindowOpener;
class ZoomImage;

// The tooltip of a spot of the current network, read under its lock; empty
// when the spot's records are not (or no longer) that network's.
QString spot_tooltip(Net& net, const MapSpot& spot);
// The host a spot names in `net` (a link's source), checked under the lock.
Node* spot_host(Net& net, const MapSpot& spot);
// A link's destination, checked under the lock.
Node* spot_peer(Net& net, const MapSpot& spot);

// Wires the map to the Zoom Box and to the lists (null: no commands).
void install_map_questions(MapWindow& map, ZoomImage& zoom, TrafficModel& model, WindowOpener* lists);

}  // namespace tarnix::ui
