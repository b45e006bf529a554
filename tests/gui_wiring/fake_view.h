#pragma once
// A window view of plain controls for the controllers under test: no form, no browser. Its
// panes only record where they were sent; a test finishes their loads by hand.

#include <QWidget>
#include <array>
#include <map>
#include <memory>
#include <vector>

#include "app/window_view.h"
#include "platform/qt/basic_controls.h"
#include "platform/qt/edit_box.h"
#include "platform/qt/process_bar.h"
#include "platform/qt/timer.h"

namespace vellicor::test {

class FakePane final : public app::Pane {
  public:
    void open(const QString& address) override {
        address_ = address;
        opened.push_back(address);
    }
    QString address() const override { return address_; }
    void setShown(bool shown) override { shown_ = shown; }
    bool shown() const override { return shown_; }
    std::optional<web::PaneDocument> document() const override { return std::nullopt; }
    void finishLoad(bool ok = true) { emit loadFinished(ok); }

    std::vector<QString> opened;

  private:
    QString address_;
    bool shown_ = true;
};

class FakeView final : public app::WindowView {
  public:
    FakeView() {
        for (const mall::Item& item : mall::items()) {
            items_[item.id] = make<ui::CheckBox>();
        }
        for (const mall::Game& game : mall::games()) {
            groups_[game.tag] = make<ui::GroupBox>();
        }
        for (auto& label : signInLabels_) {
            label = make<ui::Label>();
        }
        for (std::size_t i = 0; i < fields_.size(); ++i) {
            fields_[i] = new ui::EditBox(ui::EditBoxOptions{}, &root_);
            bars_[i] = make<ui::ProcessBar>();
        }
    }

    // Drops the box of an item, as a form without it would have.
    void removeItem(const mall::Item& item) { items_.erase(item.id); }

    ui::Button& exchangeButton() override { return exchange_; }
    ui::EditBox& workerField() override { return workers_; }
    ui::CheckBox* itemBox(const mall::Item& item) override {
        const auto it = items_.find(item.id);
        return it == items_.end() ? nullptr : it->second;
    }
    ui::GroupBox* gameGroup(const mall::Game& game) override { return groups_.at(game.tag); }
    app::Pane& quickLoginPane() override { return quick; }
    app::Pane& accountLoginPane() override { return account; }
    ui::Label& accountCaptions() override { return captions_; }
    ui::EditBox& accountField() override { return accountField_; }
    ui::EditBox& passwordField() override { return password_; }
    ui::Button& loginButton() override { return login_; }
    ui::Button& loginModeButton() override { return mode_; }
    ui::Label* signInLabel(std::size_t game) override {
        return game < signInLabels_.size() ? signInLabels_[game] : nullptr;
    }
    ui::Button& signInButton() override { return signIn_; }
    ui::Button& signInRefreshButton() override { return refresh_; }
    app::Pane& signInPane() override { return signInPane_; }
    ui::EditBox& timeField(app::TimeField field) override { return *fields_[index(field)]; }
    ui::ProcessBar& timeBar(app::TimeField field) override { return *bars_[index(field)]; }
    ui::Label& timerState() override { return state_; }
    ui::Label& timeRemaining() override { return remaining_; }
    ui::Timer& countdown() override { return countdown_; }
    QObject& owner() override { return root_; }
    app::WindowEvents& events() override { return events_; }
    app::Controllers& controllers() override { return controllers_; }

    FakePane quick;
    FakePane account;
    FakePane signInPane_;

  private:
    static std::size_t index(app::TimeField field) { return static_cast<std::size_t>(field); }
    template <typename T>
    T* make() {
        return new T(&root_);
    }

    QWidget root_;
    ui::Button exchange_{&root_};
    ui::EditBox workers_{ui::EditBoxOptions{}, &root_};
    ui::Label captions_{&root_};
    ui::EditBox accountField_{ui::EditBoxOptions{}, &root_};
    ui::EditBox password_{ui::EditBoxOptions{}, &root_};
    ui::Button login_{&root_};
    ui::Button mode_{&root_};
    ui::Button signIn_{&root_};
    ui::Button refresh_{&root_};
    ui::Label state_{&root_};
    ui::Label remaining_{&root_};
    ui::Timer countdown_{&root_};
    std::map<std::string_view, ui::CheckBox*> items_;
    std::map<std::string_view, ui::GroupBox*> groups_;
    std::array<ui::Label*, 7> signInLabels_{};
    std::array<ui::EditBox*, 3> fields_{};
    std::array<ui::ProcessBar*, 3> bars_{};
    app::WindowEvents events_;
    // Last: the controllers go before the controls they act on.
    app::Controllers controllers_;
};

}  // namespace vellicor::test
