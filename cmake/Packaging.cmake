# The Debian package, made by `cpack -G DEB` in a build configured with
# -DCMAKE_INSTALL_PREFIX=/usr (scripts/package.sh does both): everything `cmake --install`
# puts under the prefix, plus what Debian asks of a package beside it (the copyright and
# the compressed changelog in /usr/share/doc/folimo, compressed manual pages), which
# DebianTree.cmake adds to the staged tree only, so a plain install stays as it was.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME folimo)
set(CPACK_PACKAGE_VENDOR Velmar)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Velmar <folimo@velmar.com>")
set(CPACK_PACKAGE_HOMEPAGE_URL https://www.velmar.com/folimo/)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "turn photos and scans into PDF documents")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# Only the DEB generator is configured; no source package.
set(CPACK_SOURCE_GENERATOR "")

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
# The long description below the summary; cpack indents it and marks the blank line
# between the paragraphs as the control file wants.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [[
Folimo gathers photos, scans and PDF files into a list and makes one PDF of
everything, one PDF per folder or one PDF per image. Page size, margins, two
images per page, fitting, re-encoding, document information, bookmarks and
watermarks are chosen once in the settings; pages of PDF inputs are copied in.

The package holds the desktop program folimo and folimo-cli, which converts
from the command line or from scripts with the same settings.]])
# The libraries the programs link are found by dpkg-shlibdeps; the engine's own library
# lives in a private folder of the package, where it is told to look.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps runs in the staged tree, so the folder is given relative to its root.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS usr/${CMAKE_INSTALL_LIBDIR}/folimo)
# What is used without being linked: the documents' default text is set in a Chinese
# font found through fontconfig, and the window's texts are Chinese too. Qt's X11
# platform plugin comes with libqt6gui6; the others are recommended by it.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-wqy-zenhei")
# The update download checks the server against the system's certificates; Qt's own
# catalogues put the standard buttons and dialogs into a Chinese desktop's language.
# The recognition data of English and Chinese, and of the upright turn, lets searchable
# PDFs be made out of the box; libtesseract itself comes with its shared library.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
    "ca-certificates, qt6-translations-l10n, tesseract-ocr-eng, tesseract-ocr-chi-sim, tesseract-ocr-osd")

set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/DebianTree.cmake)
# Handed to that script through CPackConfig.cmake, which keeps only CPACK_ variables.
set(CPACK_FOLIMO_DEBIAN_SOURCES ${PROJECT_SOURCE_DIR}/data/debian)
set(CPACK_FOLIMO_STRIP ${CMAKE_STRIP})

# The changelog's newest entry must name the version being packaged.
file(STRINGS ${CPACK_FOLIMO_DEBIAN_SOURCES}/changelog FOLIMO_CHANGELOG_TOP LIMIT_COUNT 1)
if(NOT FOLIMO_CHANGELOG_TOP MATCHES "^folimo \\(${PROJECT_VERSION}\\) ")
    message(WARNING "data/debian/changelog has no entry for ${PROJECT_VERSION} at its top; "
                    "the package would show an older version's changes")
endif()

include(CPack)
