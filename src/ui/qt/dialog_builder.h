#pragma once

#include <QAbstractButton>
#include <QDialog>
#include <QWidget>
#include <vector>

#include "res/dialog_templates.h"

struct TemplateControl {
  const ControlTemplate* control;
  QWidget* widget;
};

// Gives `host` the template's caption, font and fixed client size and creates its controls in
// template order (which is also their tab order). Hidden controls are created hidden.
std::vector<TemplateControl> BuildDialog(const DialogTemplate& dialog, QDialog& host);

// Template buttons are narrow: a caption that does not fit is offered whole as a tool tip.
void UpdateClippedToolTip(QAbstractButton& button);

// The widget made for the first control with `id` in template order, or null.
QWidget* FindWidget(const std::vector<TemplateControl>& controls, int id);
