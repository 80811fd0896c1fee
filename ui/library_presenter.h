#pragma once

// The window's view of the model: it keeps the window-local scope and search text, evaluates the library's
// presentation rules over the model's published state, and offers the results to QML as properties and
// rows. It decides nothing the rules do not; QML calls the model's operations directly. Main thread only
// (a SequenceChecker ends the process on a call from elsewhere).

#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariantList>
#include <QVariantMap>
#include <optional>
#include <vector>

#include "app/model/hub_model.h"
#include "app/presentation/library_state.h"
#include "app/sequence_checker.h"
#include "core/library/library_search_index.h"
#include "ui/product_list_model.h"

namespace halvex::ui {

class LibraryPresenter : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString scope READ scope WRITE setScope NOTIFY scopeChanged)
    Q_PROPERTY(QString query READ query WRITE setQuery NOTIFY queryChanged)
    Q_PROPERTY(halvex::ui::ProductListModel* products READ products CONSTANT)
    // Bumped whenever anything below may have changed; bindings on functions read it to re-evaluate.
    Q_PROPERTY(int revision READ revision NOTIFY changed)
    Q_PROPERTY(QString phase READ phaseName NOTIFY changed)
    Q_PROPERTY(QString phasePayload READ phasePayload NOTIFY changed)
    // Above the rows: "checkingPlugins", "blocked" or empty (app::libraryBanner).
    Q_PROPERTY(QString banner READ banner NOTIFY changed)
    Q_PROPERTY(QVariantMap heading READ heading NOTIFY changed)
    Q_PROPERTY(QVariantMap discoveryHeading READ discoveryHeading NOTIFY changed)
    Q_PROPERTY(QString emptyTitle READ emptyTitle NOTIFY changed)
    Q_PROPERTY(QString emptyMessage READ emptyMessage NOTIFY changed)
    Q_PROPERTY(QVariantList scopes READ scopes NOTIFY changed)
    Q_PROPERTY(QVariantMap summary READ summary NOTIFY changed)
    Q_PROPERTY(QVariantMap subscription READ subscription NOTIFY changed)
    Q_PROPERTY(QString hostRecommendation READ hostRecommendation NOTIFY hostRecommendationChanged)

  public:
    explicit LibraryPresenter(app::HubModel* hub, QObject* parent = nullptr);

    QString scope() const;
    void setScope(const QString& scope);
    QString query() const { return query_; }
    void setQuery(const QString& query);
    ProductListModel* products() { return &products_; }
    int revision() const { return revision_; }
    QString phaseName() const;
    QString phasePayload() const;
    QString banner() const;
    QVariantMap heading() const;
    QVariantMap discoveryHeading() const;
    QString emptyTitle() const;
    QString emptyMessage() const;
    QVariantList scopes() const;
    QVariantMap summary() const;
    QVariantMap subscription() const;
    QString hostRecommendation() const { return hostRecommendation_; }
    // Hints about installed hosts are read from disk once, off the main thread, by the owner.
    void setHostRecommendation(const QString& text);

    // Everything the overview sheet shows for one product; "present" is false when the catalogue no
    // longer has it. "controls" lists the management controls (app::managementControls) as maps: "kind"
    // ("revert", "hold", "releaseHold", "uninstall"), "title", "enabled", "confirmationTitle",
    // "confirmationMessage" and "confirmationButton" (empty: act without asking).
    Q_INVOKABLE QVariantMap overview(const QString& productID) const;
    Q_INVOKABLE void openStorePage(const QString& productID) const;
    Q_INVOKABLE void openSubscriptionPage() const;
    Q_INVOKABLE void openLoginItems() const;

    // The state the rules read, as of now.
    const app::LibraryState& state() const { return state_; }

  signals:
    void scopeChanged();
    void queryChanged();
    void changed();
    void hostRecommendationChanged();

  private:
    void catalogChanged();
    void scheduleRefresh();
    void refreshState();
    void refreshRows();
    const Product* product(const QString& productID) const;

    app::SequenceChecker sequence_;
    QPointer<app::HubModel> hub_;
    LibraryScope scope_ = LibraryScope::all;
    QString query_;
    LibrarySearchIndex index_;
    app::LibraryState state_;
    // Rows by catalogue position, built on demand and dropped whenever the model's state changes, so a
    // keystroke only filters and looks rows up.
    mutable std::vector<std::optional<ProductRow>> rowCache_;
    ProductListModel products_;
    std::vector<const Product*> filtered_;
    int revision_ = 0;
    bool refreshScheduled_ = false;
    QString hostRecommendation_;
};

}  // namespace halvex::ui
