#pragma once

#include "Canvas.h"

namespace tamro::backgrounds {

// The preset backgrounds, in the order of their preset index.
struct Scene {
    const char* fileName;
    void (*draw)(Canvas& canvas);
};

void DrawAbstractWaves(Canvas& canvas);
void DrawGeometricMesh(Canvas& canvas);
void DrawSoftBokeh(Canvas& canvas);
void DrawMinimalShapes(Canvas& canvas);
void DrawNatureLeaves(Canvas& canvas);
void DrawConcreteWall(Canvas& canvas);
void DrawOfficeBlur(Canvas& canvas);
void DrawBookshelf(Canvas& canvas);
void DrawMeetingRoom(Canvas& canvas);
void DrawStartupOffice(Canvas& canvas);
void DrawExecutiveDesk(Canvas& canvas);
void DrawBrickLoft(Canvas& canvas);
void DrawCityView(Canvas& canvas);

inline constexpr Scene kScenes[] = {
    {"bg_abstract_waves.jpg", DrawAbstractWaves}, {"bg_geometric_mesh.jpg", DrawGeometricMesh},
    {"bg_soft_bokeh.jpg", DrawSoftBokeh},         {"bg_minimal_shapes.jpg", DrawMinimalShapes},
    {"bg_nature_leaves.jpg", DrawNatureLeaves},   {"bg_concrete_wall.jpg", DrawConcreteWall},
    {"bg_office_blur.jpg", DrawOfficeBlur},       {"bg_bookshelf.jpg", DrawBookshelf},
    {"bg_meeting_room.jpg", DrawMeetingRoom},     {"bg_startup_office.jpg", DrawStartupOffice},
    {"bg_executive_desk.jpg", DrawExecutiveDesk}, {"bg_brick_loft.jpg", DrawBrickLoft},
    {"bg_city_view.jpg", DrawCityView},
};

}  // namespace tamro::backgrounds
