#include "ui/library_presenter.h"

#include <QDateTime>
#include <QDesktopServices>
#include <QLocale>
#include <QTimeZone>
#include <QTimer>
#include <QUrl>

#include "app/presentation/library_presentation.h"
#include "app/presentation/product_accent.h"
#include "app/presentation/product_presentation.h"
#include "core/library/plugin_format_support.h"
#include "core/library/storefront_artwork_store.h"
#include "platform/standard_folders.h"

namespace halvex::ui {

namespace {

QString text(const std::string& value) {
    return QString::fromStdString(value);
}

QString colourRoleName(app::ColourRole role) {
    switch (role) {
        case app::ColourRole::signal:
            return QStringLiteral("signal");
        case app::ColourRole::warning:
            return QStringLiteral("warning");
        case app::ColourRole::error:
            return QStringLiteral("error");
        default:
            return QStringLiteral("ink");
    }
}

QString scopeIcon(LibraryScope scope) {
    switch (scope) {
        case LibraryScope::all:
            return QStringLiteral("square.grid.2x2");
        case LibraryScope::access:
            return QStringLiteral("person.badge.key");
        case LibraryScope::purchased:
            return QStringLiteral("bag");
        case LibraryScope::installed:
            return QStringLiteral("internaldrive");
        case LibraryScope::discover:
            return QStringLiteral("safari");
    }
    return {};
}

QVariantMap headingMap(const std::optional<app::SectionHeading>& heading) {
    if (!heading) return {{QStringLiteral("visible"), false}};
    return {{QStringLiteral("visible"), true},
            {QStringLiteral("title"), text(heading->title)},
            {QStringLiteral("countText"), text(app::sectionCountText(*heading))}};
}

QString managementKindName(app::ManagementControl::Kind kind) {
    using Kind = app::ManagementControl::Kind;
    switch (kind) {
        case Kind::revert:
            return QStringLiteral("revert");
        case Kind::hold:
            return QStringLiteral("hold");
        case Kind::releaseHold:
            return QStringLiteral("releaseHold");
        case Kind::uninstall:
            return QStringLiteral("uninstall");
    }
    return {};
}

QVariantList managementList(const std::vector<app::ManagementControl>& controls) {
    QVariantList list;
    for (const auto& control : controls) {
        list.append(QVariantMap{{QStringLiteral("kind"), managementKindName(control.kind)},
                                {QStringLiteral("title"), text(control.title)},
                                {QStringLiteral("enabled"), control.enabled},
                                {QStringLiteral("confirmationTitle"), text(control.confirmationTitle)},
                                {QStringLiteral("confirmationMessage"), text(control.confirmationMessage)},
                                {QStringLiteral("confirmationButton"), text(control.confirmationButton)}});
    }
    return list;
}

QString channelTag(const Product& product, const Release& release) {
    if (release.channel != "beta") return {};
    return product.isPrivate() ? QStringLiteral(" \u00b7 PRIVATE BETA")
                               : QStringLiteral(" \u00b7 INTERNAL TEST");
}

}  // namespace

LibraryPresenter::LibraryPresenter(app::HubModel* hub, QObject* parent) : QObject(parent), hub_(hub) {
    using app::HubModel;
    connect(hub, &HubModel::catalogChanged, this, &LibraryPresenter::catalogChanged);
    for (const auto signal :
         {&HubModel::phaseChanged, &HubModel::productStatesChanged, &HubModel::backgroundServiceStateChanged,
          &HubModel::backgroundStatusChanged, &HubModel::checkingInstallationsChanged}) {
        connect(hub, signal, this, &LibraryPresenter::scheduleRefresh);
    }
    connect(hub, &HubModel::installProgressChanged, this,
            [this] { products_.setProgress(hub_->property("installProgress").toMap()); });
    catalogChanged();
}

void LibraryPresenter::catalogChanged() {
    // Folding every product's search text once per catalogue keeps each keystroke to a key comparison.
    index_ = hub_ && hub_->catalog() ? LibrarySearchIndex(hub_->catalog()->products) : LibrarySearchIndex();
    refreshState();
}

void LibraryPresenter::scheduleRefresh() {
    // One model change often fires several signals in a row; evaluate the rules once for all of them.
    if (refreshScheduled_) return;
    refreshScheduled_ = true;
    QTimer::singleShot(0, this, [this] {
        refreshScheduled_ = false;
        refreshState();
    });
}

void LibraryPresenter::refreshState() {
    sequence_.check();
    if (!hub_) return;
    state_.catalog = hub_->catalog();
    state_.searchIndex = &index_;
    state_.products = hub_->productStates();
    state_.phase = hub_->phase();
    state_.checkingInstallations = hub_->checkingInstallations();
    state_.backgroundServiceState = hub_->backgroundServiceState();
    state_.backgroundStatus = hub_->backgroundStatus();
    rowCache_.assign(state_.catalog ? state_.catalog->products.size() : 0, std::nullopt);
    products_.setProgress(hub_->property("installProgress").toMap());
    refreshRows();
}

void LibraryPresenter::refreshRows() {
    state_.scope = scope_;
    state_.query = query_.toStdString();
    filtered_ = app::filteredProducts(state_);
    std::vector<ProductRow> rows;
    rows.reserve(filtered_.size());
    for (const auto* item : filtered_) {
        const auto position = static_cast<std::size_t>(item - state_.catalog->products.data());
        auto& cached = rowCache_[position];
        if (!cached) cached = productRow(state_, *item);
        rows.push_back(*cached);
    }
    products_.setRows(std::move(rows));
    ++revision_;
    emit changed();
}

QString LibraryPresenter::scope() const {
    return text(std::string(rawValue(scope_)));
}

void LibraryPresenter::setScope(const QString& scope) {
    sequence_.check();
    const auto parsed = libraryScope(scope.toStdString());
    if (!parsed || *parsed == scope_) return;
    scope_ = *parsed;
    emit scopeChanged();
    refreshRows();
}

void LibraryPresenter::setQuery(const QString& query) {
    sequence_.check();
    if (query == query_) return;
    query_ = query;
    emit queryChanged();
    refreshRows();
}

QString LibraryPresenter::phaseName() const {
    return hub_ ? text(hub_->phase().name()) : QString();
}

QString LibraryPresenter::phasePayload() const {
    return hub_ ? text(hub_->phase().payload()) : QString();
}

QString LibraryPresenter::banner() const {
    switch (app::libraryBanner(state_)) {
        case app::LibraryBanner::checkingPlugins:
            return QStringLiteral("checkingPlugins");
        case app::LibraryBanner::blocked:
            return QStringLiteral("blocked");
        case app::LibraryBanner::none:
            break;
    }
    return {};
}

QVariantMap LibraryPresenter::heading() const {
    return headingMap(app::librarySectionHeading(state_, static_cast<int>(filtered_.size())));
}

QVariantMap LibraryPresenter::discoveryHeading() const {
    return headingMap(app::discoverySectionHeading(state_, static_cast<int>(filtered_.size())));
}

QString LibraryPresenter::emptyTitle() const {
    return text(app::emptyLibraryTitle(state_));
}

QString LibraryPresenter::emptyMessage() const {
    return text(app::emptyLibraryMessage(state_));
}

QVariantList LibraryPresenter::scopes() const {
    QVariantList result;
    std::set<std::string> installed;
    for (const auto& [productID, product] : state_.products) {
        if (product.installed()) installed.insert(productID);
    }
    for (const auto scope : allLibraryScopes) {
        const auto count = index_.filter(scope, installed, std::nullopt, std::nullopt, "").size();
        result.append(QVariantMap{{QStringLiteral("id"), text(std::string(rawValue(scope)))},
                                  {QStringLiteral("title"), text(std::string(title(scope)))},
                                  {QStringLiteral("icon"), scopeIcon(scope)},
                                  {QStringLiteral("countText"), QStringLiteral("%1 plugins").arg(count)}});
    }
    return result;
}

QVariantMap LibraryPresenter::summary() const {
    const auto summary = app::updateSummary(state_);
    return {{QStringLiteral("title"), text(summary.title)},
            {QStringLiteral("icon"), text(summary.iconName)},
            {QStringLiteral("colour"), colourRoleName(summary.colour)},
            {QStringLiteral("accessibleName"), text(summary.accessibilityLabel())},
            {QStringLiteral("message"),
             state_.backgroundStatus ? text(state_.backgroundStatus->message) : QString()},
            {QStringLiteral("error"), state_.backgroundStatus && state_.backgroundStatus->error
                                          ? text(*state_.backgroundStatus->error)
                                          : QString()},
            {QStringLiteral("serviceMessage"), text(state_.backgroundServiceState.message)}};
}

QVariantMap LibraryPresenter::subscription() const {
    const auto card = app::subscriptionCard(state_);
    if (card == app::SubscriptionCard::none) return {{QStringLiteral("kind"), QStringLiteral("none")}};
    if (card == app::SubscriptionCard::offer) {
        const auto& offer = *state_.catalog->subscriptionOffer;
        return {{QStringLiteral("kind"), QStringLiteral("offer")},
                {QStringLiteral("name"), text(offer.name)},
                {QStringLiteral("iconUrl"), text(offer.iconURL.string())}};
    }
    const auto& access = *state_.catalog->subscription;
    const auto until = QDateTime::fromSecsSinceEpoch(access.accessUntil, Qt::UTC).date();
    return {{QStringLiteral("kind"), card == app::SubscriptionCard::paymentGrace ? QStringLiteral("grace")
                                                                                 : QStringLiteral("active")},
            {QStringLiteral("name"), text(access.name)},
            {QStringLiteral("iconUrl"), text(access.iconURL.string())},
            {QStringLiteral("accessUntil"), QLocale(QLocale::English).toString(until, QLocale::LongFormat)},
            {QStringLiteral("hasProductPage"), StorefrontScreenshot::productURL(access.planID).has_value()}};
}

void LibraryPresenter::setHostRecommendation(const QString& text) {
    if (text == hostRecommendation_) return;
    hostRecommendation_ = text;
    emit hostRecommendationChanged();
}

const Product* LibraryPresenter::product(const QString& productID) const {
    if (state_.catalog == nullptr) return nullptr;
    const auto id = productID.toStdString();
    for (const auto& item : state_.catalog->products) {
        if (item.productID == id) return &item;
    }
    return nullptr;
}

QVariantMap LibraryPresenter::overview(const QString& productID) const {
    sequence_.check();
    const auto* item = product(productID);
    if (item == nullptr) return {{QStringLiteral("present"), false}};
    const auto& texts = item->presentation();
    QStringList features;
    for (const auto& feature : texts.features) features.append(text(feature));

    const auto publicRelease = state_.publicRelease(*item);
    const auto testRelease = state_.testRelease(*item);
    auto shown = app::primaryRelease(publicRelease, testRelease, state_.product(item->productID));
    if (!shown) shown = publicRelease ? publicRelease : testRelease;

    const auto row = productRow(state_, *item);
    QVariantMap map{
        {QStringLiteral("present"), true},
        {QStringLiteral("productId"), row.productID},
        {QStringLiteral("slug"), row.slug},
        {QStringLiteral("name"), row.name},
        {QStringLiteral("category"), row.category},
        {QStringLiteral("tagline"), text(texts.tagline)},
        {QStringLiteral("overview"), text(texts.overview)},
        {QStringLiteral("features"), features},
        {QStringLiteral("artist"), texts.artist ? text(*texts.artist) : QString()},
        {QStringLiteral("accent"), row.accent},
        {QStringLiteral("iconUrl"), row.iconURL},
        {QStringLiteral("status"), row.status},
        {QStringLiteral("actionKind"), row.actionKind},
        {QStringLiteral("actionTitle"), row.actionTitle},
        {QStringLiteral("actionEnabled"), row.actionEnabled},
        {QStringLiteral("actionReleaseId"), row.actionReleaseID},
        {QStringLiteral("linkTitle"), row.linkTitle},
        {QStringLiteral("linkHelp"), row.linkHelp},
        {QStringLiteral("linkReleaseId"), row.linkReleaseID},
        {QStringLiteral("privateBeta"), row.privateBeta},
        {QStringLiteral("hasStorePage"), item->storeURL().has_value()},
        {QStringLiteral("testReleaseId"), testRelease ? text(testRelease->releaseID) : QString()},
        {QStringLiteral("testVersion"), testRelease ? text(testRelease->version) : QString()},
        {QStringLiteral("controls"), managementList(app::managementControls(state_, *item))},
    };
    if (shown) {
        map.insert(QStringLiteral("versionLine"),
                   QStringLiteral("Version ") + text(shown->version) + channelTag(*item, *shown));
        map.insert(QStringLiteral("compatibility"), text(PluginFormatSupport::compatibilityText(*shown)));
    } else {
        map.insert(QStringLiteral("versionLine"), QString());
        map.insert(QStringLiteral("compatibility"),
                   QStringLiteral("See the product page for available formats and supported hosts."));
    }
    return map;
}

void LibraryPresenter::openStorePage(const QString& productID) const {
    sequence_.check();
    const auto* item = product(productID);
    if (item == nullptr) return;
    if (const auto url = item->storeURL()) QDesktopServices::openUrl(QUrl(text(url->string())));
}

void LibraryPresenter::openSubscriptionPage() const {
    sequence_.check();
    if (state_.catalog == nullptr || !state_.catalog->subscription) return;
    // The plan's store page, named by its identifier when that is safe in a path.
    const auto& planID = state_.catalog->subscription->planID;
    if (!StorefrontScreenshot::productURL(planID)) return;
    QDesktopServices::openUrl(QUrl(QString::fromUtf8(storeProductPagePrefix) + text(planID)));
}

void LibraryPresenter::openLoginItems() const {
    sequence_.check();
    // The desktop's login items are its autostart entries; their folder is what the user can inspect.
    const auto folder = platform::standardFolders().autostart;
    QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(folder.string())));
}

}  // namespace halvex::ui
