// The window's view: each accessor stands for one entry of the form. build() has checked that
// every one of them is there and of its kind, so the accessors never come back empty.

#include <array>

#include "app/main_window.h"
#include "platform/qt/basic_controls.h"
#include "platform/qt/edit_box.h"
#include "platform/qt/html_viewer.h"
#include "platform/qt/process_bar.h"
#include "platform/qt/timer.h"

namespace vellicor::app {
namespace {

constexpr std::array kTimeFields = {formName::编辑框5, formName::编辑框6, formName::编辑框7};
constexpr std::array kTimeBars = {formName::进度条1, formName::进度条2, formName::进度条3};
// The games' state labels, in game-table order.
constexpr std::array kSignInLabels = {formName::标签3, formName::标签4, formName::标签5,
                                      formName::标签6, formName::标签7, formName::标签8,
                                      formName::标签9};
constexpr std::array kPanes = {formName::超文本浏览框1, formName::超文本浏览框2,
                               formName::超文本浏览框3};

std::size_t indexOf(TimeField field) {
    switch (field) {
        case TimeField::Hour:
            return 0;
        case TimeField::Minute:
            return 1;
        case TimeField::Second:
            break;
    }
    return 2;
}

}  // namespace

ViewerPane::ViewerPane(ui::HtmlViewer& viewer) : Pane(&viewer), viewer_(viewer) {
    connect(&viewer_, &QWebEngineView::loadFinished, this, &Pane::loadFinished);
}

void ViewerPane::open(const QString& address) {
    viewer_.setAddress(address);
}

QString ViewerPane::address() const {
    return viewer_.address();
}

void ViewerPane::setShown(bool shown) {
    viewer_.setVisible(shown);
}

bool ViewerPane::shown() const {
    return !viewer_.isHidden();
}

std::optional<web::PaneDocument> ViewerPane::document() const {
    return web::PaneDocument::of(&viewer_);
}

template <typename T>
T& MainWindow::bound(const char* name) const {
    return *control<T>(name);
}

bool MainWindow::bindView() {
    const bool controls =
        control<ui::Button>(formName::按钮1) && control<ui::Button>(formName::按钮3) &&
        control<ui::Button>(formName::按钮4) && control<ui::Button>(formName::按钮7) &&
        control<ui::Button>(formName::按钮8) && control<ui::EditBox>(formName::编辑框1) &&
        control<ui::EditBox>(formName::编辑框2) && control<ui::EditBox>(formName::编辑框4) &&
        control<ui::Label>(formName::标签1) && control<ui::Label>(formName::标签10) &&
        control<ui::Label>(formName::标签11) && control<ui::Timer>(formName::时钟2);
    bool all = controls;
    for (const char* name : kTimeFields) {
        all = all && control<ui::EditBox>(name) != nullptr;
    }
    for (const char* name : kTimeBars) {
        all = all && control<ui::ProcessBar>(name) != nullptr;
    }
    for (const char* name : kSignInLabels) {
        all = all && control<ui::Label>(name) != nullptr;
    }
    // Every item and game of the catalogue has its box in the form.
    for (const mall::Item& item : mall::items()) {
        all = all && itemBox(item) != nullptr;
    }
    for (const mall::Game& game : mall::games()) {
        all = all && gameGroup(game) != nullptr;
    }
    for (const char* name : kPanes) {
        auto* viewer = control<ui::HtmlViewer>(name);
        if (viewer == nullptr) {
            return false;
        }
        panes_[name] = std::make_unique<ViewerPane>(*viewer);
    }
    return all;
}

ui::Button& MainWindow::exchangeButton() {
    return bound<ui::Button>(formName::按钮1);
}

ui::EditBox& MainWindow::workerField() {
    return bound<ui::EditBox>(formName::编辑框4);
}

ui::CheckBox* MainWindow::itemBox(const mall::Item& item) {
    return control<ui::CheckBox>(formNameShowing(item.id));
}

ui::GroupBox* MainWindow::gameGroup(const mall::Game& game) {
    return control<ui::GroupBox>(formNameShowing(game.tag));
}

Pane& MainWindow::quickLoginPane() {
    return *panes_.at(formName::超文本浏览框1);
}

Pane& MainWindow::accountLoginPane() {
    return *panes_.at(formName::超文本浏览框2);
}

ui::Label& MainWindow::accountCaptions() {
    return bound<ui::Label>(formName::标签1);
}

ui::EditBox& MainWindow::accountField() {
    return bound<ui::EditBox>(formName::编辑框1);
}

ui::EditBox& MainWindow::passwordField() {
    return bound<ui::EditBox>(formName::编辑框2);
}

ui::Button& MainWindow::loginButton() {
    return bound<ui::Button>(formName::按钮4);
}

ui::Button& MainWindow::loginModeButton() {
    return bound<ui::Button>(formName::按钮3);
}

ui::Label* MainWindow::signInLabel(std::size_t game) {
    return game < kSignInLabels.size() ? control<ui::Label>(kSignInLabels[game]) : nullptr;
}

ui::Button& MainWindow::signInButton() {
    return bound<ui::Button>(formName::按钮7);
}

ui::Button& MainWindow::signInRefreshButton() {
    return bound<ui::Button>(formName::按钮8);
}

Pane& MainWindow::signInPane() {
    return *panes_.at(formName::超文本浏览框3);
}

ui::EditBox& MainWindow::timeField(TimeField field) {
    return bound<ui::EditBox>(kTimeFields[indexOf(field)]);
}

ui::ProcessBar& MainWindow::timeBar(TimeField field) {
    return bound<ui::ProcessBar>(kTimeBars[indexOf(field)]);
}

ui::Label& MainWindow::timerState() {
    return bound<ui::Label>(formName::标签10);
}

ui::Label& MainWindow::timeRemaining() {
    return bound<ui::Label>(formName::标签11);
}

ui::Timer& MainWindow::countdown() {
    return bound<ui::Timer>(formName::时钟2);
}

void MainWindow::useProfile(QWebEngineProfile* profile) {
    for (const char* name : {formName::超文本浏览框1, formName::超文本浏览框2}) {
        control<ui::HtmlViewer>(name)->setProfile(profile);
    }
}

void MainWindow::useSignInProfile(QWebEngineProfile* profile) {
    control<ui::HtmlViewer>(formName::超文本浏览框3)->setProfile(profile);
}

}  // namespace vellicor::app
