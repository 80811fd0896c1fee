// HubModel: revert, hold, release and uninstall of one product, as the product overview offers them.

#include "app/model/hub_model.h"
#include "app/model/model_executor.h"

namespace halvex::app {

QCoro::Task<> HubModel::changeInstallation(std::string productID, bool exclusive, InstallationChange change) {
    sequence_.check();
    if (!services_.library || !catalog_) co_return;
    if (exclusive && busy()) co_return;
    const auto* found = product(productID);
    if (found == nullptr) co_return;
    const auto catalog = catalog_;
    if (exclusive) setPhase(Phase::updating(productID));

    std::string notice;
    std::exception_ptr failure;
    try {
        auto changing = executor_->run(executor_->installer,
                                       [change = std::move(change), library = services_.library,
                                        owner = *found](std::stop_token) { return change(*library, owner); });
        notice = co_await changing;
    } catch (const std::exception&) {
        failure = std::current_exception();
    }
    if (exclusive) setPhase(Phase::ready());
    try {
        auto rescan = executor_->run(executor_->installer,
                                     [library = services_.library, catalog, owner = *found](std::stop_token) {
                                         return library->scan(*catalog, owner);
                                     });
        setProductState(productID, co_await rescan);
    } catch (const std::exception&) {
        // The change's own outcome is what the user needs to see; the next scan tries again.
    }
    if (failure) {
        handle(failure);
        std::rethrow_exception(failure);
    }
    setErrorMessage(std::nullopt);
    if (!notice.empty()) setNoticeMessage(notice);
}

QCoro::Task<> HubModel::revertProductAsync(std::string productID) {
    co_await changeInstallation(
        std::move(productID), true, [](LibraryService& library, const Product& product) {
            const auto reverted = library.revert(product, true);
            return product.name + " is back at " + reverted.version + " and held there until you release it.";
        });
}

QCoro::Task<> HubModel::holdProductAsync(std::string productID) {
    co_await changeInstallation(std::move(productID), false,
                                [](LibraryService& library, const Product& product) {
                                    library.hold(product);
                                    return std::string();
                                });
}

QCoro::Task<> HubModel::releaseHoldAsync(std::string productID) {
    co_await changeInstallation(std::move(productID), false,
                                [](LibraryService& library, const Product& product) {
                                    library.releaseHold(product);
                                    return std::string();
                                });
}

QCoro::Task<> HubModel::uninstallProductAsync(std::string productID) {
    co_await changeInstallation(std::move(productID), true,
                                [](LibraryService& library, const Product& product) {
                                    library.uninstall(product);
                                    return product.name + " is uninstalled. Revert brings it back.";
                                });
}

void HubModel::revertProduct(const QString& productID) {
    launch(revertProductAsync(productID.toStdString()));
}
void HubModel::holdProduct(const QString& productID) {
    launch(holdProductAsync(productID.toStdString()));
}
void HubModel::releaseHold(const QString& productID) {
    launch(releaseHoldAsync(productID.toStdString()));
}
void HubModel::uninstallProduct(const QString& productID) {
    launch(uninstallProductAsync(productID.toStdString()));
}

}  // namespace halvex::app
