#include "App/ui/ContentView.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "App/ui/InspectorView.h"
#include "App/ui/MonitorView.h"
#include "App/ui/SourcesSidebar.h"
#include "App/ui/StatusBar.h"
#include "App/ui/TakeBar.h"
#include "App/ui/Theme.h"

namespace zarvo {
namespace {

QFrame* separatorLine(bool vertical, QWidget* parent) {
    auto* line = new QFrame(parent);
    if (vertical) {
        line->setFixedWidth(1);
    } else {
        line->setFixedHeight(1);
    }
    theme::setBackground(line, theme::separator);
    return line;
}

}  // namespace

ContentView::ContentView(RecorderModel& model, QWidget* parent) : QWidget(parent) {
    theme::setBackground(this, theme::background);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    takeBar_ = new TakeBar(model, this);
    column->addWidget(takeBar_);
    column->addWidget(separatorLine(false, this));

    auto* row = new QHBoxLayout;
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    sidebar_ = new SourcesSidebar(model, this);
    row->addWidget(sidebar_);
    row->addWidget(separatorLine(true, this));
    monitor_ = new MonitorView(model, this);
    row->addWidget(monitor_, 1);
    row->addWidget(separatorLine(true, this));
    inspector_ = new InspectorView(model, this);
    row->addWidget(inspector_);
    column->addLayout(row, 1);

    column->addWidget(separatorLine(false, this));
    statusBar_ = new StatusBar(model, this);
    column->addWidget(statusBar_);
}

}  // namespace zarvo
