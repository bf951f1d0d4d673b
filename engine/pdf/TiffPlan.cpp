// A TIFF page for the PDF: fax pages keep their CCITT coding, which PDF decodes itself
// and which is a fraction of any recompression of the decoded bits.
#include "ImagePlan.h"

#include "imaging/Codecs.h"

namespace folimo::pdf {

ImagePlan planTiff(std::span<const std::uint8_t> bytes, int page) {
    auto fax = imaging::tiffFaxPage(bytes, page);
    if (!fax)
        return planDecoded(bytes, imaging::ImageFormat::Tiff, page);
    ImagePlan plan;
    plan.format = "tiff";
    plan.resx = fax->dpiX;
    plan.resy = fax->dpiY;
    ImageStreamPlan& image = plan.image;
    image.width = fax->width;
    image.height = fax->height;
    image.bitsPerComponent = 1;
    image.colorSpace.device = "/DeviceGray";
    image.filter = "/CCITTFaxDecode";
    // The codes call runs of 0 bits white whatever the photometric says, and PDF
    // decodes white as 1 unless BlackIs1: MinIsBlack pages need it.
    image.decodeParms = "<< /K " + std::to_string(fax->k) + " /Columns " +
                        std::to_string(fax->width) + " /Rows " + std::to_string(fax->height) +
                        (fax->blackIs1 ? " /BlackIs1 true" : "") + " >>";
    image.owned = std::move(fax->data);
    // On the heap, the bytes stay where they are when the plan moves.
    image.owned.reserve(64);
    image.data = {std::string_view(image.owned)};
    image.passthrough = true;
    return plan;
}

} // namespace folimo::pdf
