// HubModel: the artwork of a product's test build.

#include "app/model/hub_model.h"
#include "app/model/model_executor.h"

namespace halvex::app {

QCoro::Task<std::optional<std::string>> HubModel::testArtworkAsync(Release release) {
    sequence_.check();
    if (!services_.library || !catalog_ || !services_.releaseArtwork) co_return std::nullopt;
    const auto* owner = product(release.productID);
    if (owner == nullptr) co_return std::nullopt;
    const auto test = catalog_->testRelease(*owner);
    if (!test || test->releaseID != release.releaseID) co_return std::nullopt;
    auto artwork = executor_->run(
        executor_->client,
        [store = services_.releaseArtwork, library = services_.library, release](std::stop_token stop) {
            return store->refresh(release.releaseID, [&](const std::string&) {
                return library->client().releaseArtwork(release, stop);
            });
        });
    co_return co_await artwork;
}

void HubModel::testArtwork(const QString& releaseID) {
    sequence_.check();
    const auto* release = catalogRelease(releaseID.toStdString());
    if (release == nullptr) return;
    launch([](HubModel* model, QString releaseID,
              QCoro::Task<std::optional<std::string>> load) -> QCoro::Task<> {
        const auto image = co_await load;
        emit model->testArtworkLoaded(releaseID, image ? QByteArray::fromStdString(*image) : QByteArray());
    }(this, releaseID, testArtworkAsync(*release)));
}

}  // namespace halvex::app
