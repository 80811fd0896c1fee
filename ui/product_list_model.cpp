#include "ui/product_list_model.h"

#include "app/presentation/product_accent.h"
#include "app/presentation/product_presentation.h"

namespace halvex::ui {

namespace {

QString text(const std::string& value) {
    return QString::fromStdString(value);
}

QString actionKindName(app::ProductAction::Kind kind) {
    using Kind = app::ProductAction::Kind;
    switch (kind) {
        case Kind::purchase:
            return QStringLiteral("purchase");
        case Kind::installing:
            return QStringLiteral("installing");
        case Kind::restartDAW:
            return QStringLiteral("restartDAW");
        case Kind::install:
            return QStringLiteral("install");
        case Kind::releasePending:
            return QStringLiteral("releasePending");
        case Kind::installed:
            return QStringLiteral("installed");
        case Kind::releaseHold:
            return QStringLiteral("releaseHold");
    }
    return {};
}

}  // namespace

ProductRow productRow(const app::LibraryState& state, const Product& product) {
    ProductRow row;
    row.productID = text(product.productID);
    row.slug = text(product.slug);
    row.name = text(product.name);
    row.category = text(product.presentation().category);
    row.status = text(app::statusText(state, product));
    row.privateBeta = product.isPrivate();
    row.iconURL = text(product.iconURL.string());
    row.accent = QColor::fromRgb(static_cast<QRgb>(app::accentRGB(product)));
    const auto action = app::productAction(state, product);
    row.actionKind = actionKindName(action.kind);
    row.actionTitle = text(action.title);
    row.actionEnabled = action.enabled;
    if (action.release) row.actionReleaseID = text(action.release->releaseID);
    if (const auto link = app::secondaryLink(state, product)) {
        row.linkTitle = text(link->title);
        row.linkHelp = text(link->helpText);
        row.linkReleaseID = text(link->release.releaseID);
    }
    return row;
}

int ProductListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

QVariant ProductListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() < 0 || index.row() >= rowCount()) return {};
    const auto& row = rows_[static_cast<std::size_t>(index.row())];
    switch (role) {
        case ProductIDRole:
            return row.productID;
        case SlugRole:
            return row.slug;
        case NameRole:
            return row.name;
        case CategoryRole:
            return row.category;
        case StatusRole:
            return row.status;
        case PrivateBetaRole:
            return row.privateBeta;
        case IconURLRole:
            return row.iconURL;
        case AccentRole:
            return row.accent;
        case ActionKindRole:
            return row.actionKind;
        case ActionTitleRole:
            return row.actionTitle;
        case ActionEnabledRole:
            return row.actionEnabled;
        case ActionReleaseIDRole:
            return row.actionReleaseID;
        case LinkTitleRole:
            return row.linkTitle;
        case LinkHelpRole:
            return row.linkHelp;
        case LinkReleaseIDRole:
            return row.linkReleaseID;
        case ProgressRole:
            return progress_.value(row.productID);
        default:
            return {};
    }
}

QHash<int, QByteArray> ProductListModel::roleNames() const {
    return {
        {ProductIDRole, "productId"},
        {SlugRole, "slug"},
        {NameRole, "name"},
        {CategoryRole, "category"},
        {StatusRole, "status"},
        {PrivateBetaRole, "privateBeta"},
        {IconURLRole, "iconUrl"},
        {AccentRole, "accent"},
        {ActionKindRole, "actionKind"},
        {ActionTitleRole, "actionTitle"},
        {ActionEnabledRole, "actionEnabled"},
        {ActionReleaseIDRole, "actionReleaseId"},
        {LinkTitleRole, "linkTitle"},
        {LinkHelpRole, "linkHelp"},
        {LinkReleaseIDRole, "linkReleaseId"},
        {ProgressRole, "progress"},
    };
}

void ProductListModel::setRows(std::vector<ProductRow> rows) {
    const bool sameProducts =
        rows.size() == rows_.size() &&
        std::equal(rows.begin(), rows.end(), rows_.begin(),
                   [](const ProductRow& a, const ProductRow& b) { return a.productID == b.productID; });
    if (!sameProducts) {
        const bool countChanges = rows.size() != rows_.size();
        beginResetModel();
        rows_ = std::move(rows);
        endResetModel();
        if (countChanges) emit countChanged();
        return;
    }
    int first = -1;
    int last = -1;
    for (std::size_t index = 0; index < rows.size(); ++index) {
        if (rows[index] == rows_[index]) continue;
        if (first < 0) first = static_cast<int>(index);
        last = static_cast<int>(index);
    }
    rows_ = std::move(rows);
    if (first >= 0) emit dataChanged(this->index(first), this->index(last));
}

void ProductListModel::setProgress(const QVariantMap& progress) {
    if (progress == progress_) return;
    QStringList touched = progress_.keys();
    touched.append(progress.keys());
    progress_ = progress;
    for (std::size_t index = 0; index < rows_.size(); ++index) {
        if (!touched.contains(rows_[index].productID)) continue;
        const auto at = this->index(static_cast<int>(index));
        emit dataChanged(at, at, {ProgressRole});
    }
}

}  // namespace halvex::ui
