#pragma once

class QWidget;

/// Paints the window artwork ":/res/bk.png" scaled into the whole of
/// @p widget's rectangle. Call it from a paintEvent before the base class's
/// painting. When the image cannot be loaded the rectangle is filled white
/// and a warning is logged once per process.
void paintBackground(QWidget *widget);
