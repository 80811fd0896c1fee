#pragma once

// The library list as QML rows: one row per product the presentation rules keep, with the row's texts,
// its action and secondary link, and the live progress of its installation. Main thread only.

#include <QAbstractListModel>
#include <QColor>
#include <QStringList>
#include <vector>

#include "app/presentation/library_state.h"

namespace halvex::ui {

struct ProductRow {
    QString productID;
    QString slug;
    QString name;
    QString category;
    QString status;
    bool privateBeta = false;
    QString iconURL;
    QColor accent;
    QString actionKind;
    QString actionTitle;
    bool actionEnabled = true;
    QString actionReleaseID;
    QString linkTitle;
    QString linkHelp;
    QString linkReleaseID;
    bool operator==(const ProductRow&) const = default;
};

ProductRow productRow(const app::LibraryState& state, const Product& product);

class ProductListModel : public QAbstractListModel {
    Q_OBJECT
    Q_PROPERTY(int count READ rowCount NOTIFY countChanged)

  public:
    enum Role {
        ProductIDRole = Qt::UserRole + 1,
        SlugRole,
        NameRole,
        CategoryRole,
        StatusRole,
        PrivateBetaRole,
        IconURLRole,
        AccentRole,
        ActionKindRole,
        ActionTitleRole,
        ActionEnabledRole,
        ActionReleaseIDRole,
        LinkTitleRole,
        LinkHelpRole,
        LinkReleaseIDRole,
        ProgressRole,
    };

    explicit ProductListModel(QObject* parent = nullptr) : QAbstractListModel(parent) {}

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    // Replaces the rows: a reset when the products changed, else one change signal over the changed rows.
    void setRows(std::vector<ProductRow> rows);
    // The live progress of installing products, by product identifier (the model's installProgress).
    void setProgress(const QVariantMap& progress);

  signals:
    void countChanged();

  private:
    std::vector<ProductRow> rows_;
    QVariantMap progress_;
};

}  // namespace halvex::ui
