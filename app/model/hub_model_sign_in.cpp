// HubModel: sign-in, sign-out, and the pages the window opens in the browser.

#include "app/model/hub_model.h"
#include "app/model/model_executor.h"

namespace halvex::app {

namespace {

constexpr const char* productNotForSaleMessage = "This product is not currently available for purchase.";
constexpr const char* subscriptionNotForSaleMessage =
    "The subscription is not currently available for purchase.";

bool isStorePage(const std::optional<Url>& url, const std::string& storeHost) {
    return url && url->scheme() == "https" && url->host() == storeHost;
}

}  // namespace

QCoro::Task<> HubModel::signInAsync() {
    sequence_.check();
    if (!services_.library || signingIn_ || busy() || !phase_.is(Phase::Kind::signedOut)) co_return;
    setSigningIn(true);
    // A new attempt: what went wrong before no longer applies.
    setErrorMessage(std::nullopt);
    std::exception_ptr failure;
    try {
        const auto* client = &services_.library->client();
        auto beginning = executor_->run(
            executor_->client, [client, deviceName = services_.deviceName](std::stop_token stop) {
                auto name = deviceName ? deviceName() : std::string();
                return client->beginAuthorization(name.empty() ? "Mac" : name, stop);
            });
        const auto authorization = co_await beginning;
        setSignInURL(authorization.verificationURIComplete);
        setPhase(Phase::authorizing(authorization.userCode));
        openInBrowser(authorization.verificationURIComplete);
        auto approval = executor_->run(executor_->signIn, [client, authorization](std::stop_token stop) {
            client->waitForAuthorization(authorization, stop);
        });
        co_await approval;
        co_await refreshAsync(true);
    } catch (const std::exception&) {
        failure = std::current_exception();
    }
    setSigningIn(false);
    setSignInURL(std::nullopt);
    if (failure) {
        handle(failure);
        if (!catalog_) setPhase(Phase::signedOut());
    }
}

QCoro::Task<> HubModel::signOutAsync() {
    sequence_.check();
    if (!services_.library) co_return;
    try {
        auto removal = executor_->run(executor_->client, [library = services_.library](std::stop_token) {
            library->client().signOut();
        });
        co_await removal;
        setCatalog(nullptr);
        setProductStates({});
        setPhase(Phase::signedOut());
    } catch (const std::exception&) {
        handle(std::current_exception());
    }
}

void HubModel::openInBrowser(const Url& url) {
    if (!services_.openURL) return;
    executor_->local.post([this, open = services_.openURL, url, executor = executor_.get()](bool abandoned) {
        if (abandoned) return;
        try {
            open(url);
        } catch (const std::exception&) {
            executor->postToMain([this, error = std::current_exception()] { handle(error); });
        }
    });
}

void HubModel::purchase(const Product& product) {
    sequence_.check();
    if (!product.owned && isStorePage(product.purchaseURL, services_.storeHost)) {
        openInBrowser(*product.purchaseURL);
        return;
    }
    handle(std::make_exception_ptr(HalvexError::backgroundService(productNotForSaleMessage)));
}

void HubModel::purchaseAllAccess(const SubscriptionOffer& offer) {
    sequence_.check();
    if (isStorePage(offer.purchaseURL, services_.storeHost)) {
        openInBrowser(offer.purchaseURL);
        return;
    }
    handle(std::make_exception_ptr(HalvexError::backgroundService(subscriptionNotForSaleMessage)));
}

void HubModel::signIn() {
    launch(signInAsync());
}
void HubModel::signOut() {
    launch(signOutAsync());
}

void HubModel::openSignInURL() {
    sequence_.check();
    if (signInURL_) openInBrowser(*signInURL_);
}

void HubModel::purchase(const QString& productID) {
    if (const auto* found = product(productID.toStdString())) {
        purchase(*found);
        return;
    }
    handle(std::make_exception_ptr(HalvexError::backgroundService(productNotForSaleMessage)));
}

void HubModel::purchaseAllAccess() {
    if (catalog_ && catalog_->subscriptionOffer) {
        purchaseAllAccess(*catalog_->subscriptionOffer);
        return;
    }
    handle(std::make_exception_ptr(HalvexError::backgroundService(subscriptionNotForSaleMessage)));
}

}  // namespace halvex::app
