#include "MainComponent.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>

#include "ImageLoader.h"
#include "TxtLoader.h"

namespace {

// The start request carries the file's length in three bytes.
constexpr juce::int64 kMaxUpdateFileLength = 0xFFFFFF;

// CRC-16/XMODEM, sliced eight bytes at a time: table k gives the CRC of a byte followed by k zero bytes.
struct CrcTables {
    juce::uint16 t[8][256];
};

constexpr CrcTables makeCrcTables() {
    CrcTables tables{};
    for (int i = 0; i < 256; ++i) {
        unsigned crc = static_cast<unsigned>(i) << 8;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x8000u) != 0 ? (crc << 1) ^ 0x1021u : crc << 1;
        tables.t[0][i] = static_cast<juce::uint16>(crc);
    }
    for (int k = 1; k < 8; ++k) {
        for (int i = 0; i < 256; ++i) {
            const unsigned previous = tables.t[k - 1][i];
            tables.t[k][i] = static_cast<juce::uint16>((previous << 8) ^ tables.t[0][previous >> 8]);
        }
    }
    return tables;
}

constexpr CrcTables kCrc = makeCrcTables();

}  // namespace

// A folder opens but does not read, and opening a FIFO would wait for a writer forever.
static std::unique_ptr<juce::FileInputStream> openRegularFile(const juce::File& file) {
    struct stat status {};
    if (stat(file.getFullPathName().toRawUTF8(), &status) != 0 || !S_ISREG(status.st_mode)) return nullptr;
    return file.createInputStream();
}

// A bare name was found through PATH, as the shell does: the first entry that is an executable regular file.
// An empty entry means the working directory.
static juce::String findInSearchPath(const char* name) {
    const char* search = std::getenv("PATH");
    if (search == nullptr) return {};
    const std::string entries(search);
    for (std::size_t start = 0;;) {
        const std::size_t end = std::min(entries.find(':', start), entries.size());
        std::string folder = entries.substr(start, end - start);
        if (folder.empty()) folder = ".";
        const std::string candidate = folder + "/" + name;
        struct stat status {};
        if (stat(candidate.c_str(), &status) == 0 && S_ISREG(status.st_mode) && access(candidate.c_str(), X_OK) == 0) {
            const juce::String path = juce::String::fromUTF8(candidate.c_str());
            return path.startsWithChar('/')
                       ? path
                       : juce::File::getCurrentWorkingDirectory().getChildFile(path).getFullPathName();
        }
        if (end == entries.size()) return {};
        start = end + 1;
    }
}

static juce::File getExecutableFile() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&getExecutableFile), &info) == 0 || info.dli_fname == nullptr ||
        info.dli_fname[0] == '\0')
        return juce::File();
    // For the main program the loader reports the path as it was invoked. A link is kept as it is: the update
    // file lies beside the name the user started.
    const juce::String path = juce::String::fromUTF8(info.dli_fname);
    if (path.startsWithChar('/')) return juce::File(path);
    if (!path.containsChar('/')) {
        const juce::String found = findInSearchPath(info.dli_fname);
        if (found.isNotEmpty()) return juce::File(found);
    }
    return juce::File::getCurrentWorkingDirectory().getChildFile(path);
}

static juce::File getSpecialLocation(const juce::File::SpecialLocationType type) {
    switch (type) {
        case juce::File::currentExecutableFile:
            return getExecutableFile();
        case juce::File::currentApplicationFile: {
            const juce::File executable = getExecutableFile();
            const juce::File folder = executable.getParentDirectory();
            if (folder.getFullPathName().endsWithIgnoreCase("Contents/MacOS"))
                return folder.getParentDirectory().getParentDirectory();
            return executable;
        }
        case juce::File::tempDirectory: {
            const juce::File folder("~/Library/Caches/" + getExecutableFile().getFileNameWithoutExtension());
            if (!folder.isDirectory()) folder.createDirectory();
            return folder;
        }
        default:
            return juce::File::getSpecialLocation(type);
    }
}

namespace {

const juce::Colour BackgroundColour(234, 234, 234);

// Each placeholder of the update-mode texts; the same in every language.
const char* const kFirstButtonLabel = "MONO SPLIT ON/OFF";
const char* const kSecondButtonLabel = "MARBLETAP";

const juce::Justification kTopLeft(9);
constexpr float kMinimumScale = 0.7f;
constexpr int kReportSize = 1024;
constexpr int kChunkPayload = 1022;

MainComponent::Timing gTiming;

// Chinese and Japanese set their body text and version lines smaller.
bool smallScript(int locale) { return locale == 8 || locale == 9 || locale == 11; }

__attribute__((format(printf, 1, 2))) juce::String formatted(char const* format, ...) {
    va_list args;
    va_start(args, format);
    char* buffer = nullptr;
    const int length = vasprintf(&buffer, format, args);
    va_end(args);
    if (length < 0 || buffer == nullptr) return juce::String();
    juce::String result = juce::String::fromUTF8(buffer, -1);
    free(buffer);
    return result;
}

}  // namespace

MainComponent::MainComponent()
    : juce::Thread("MainComponent"),
      m_langLookAndFeel(nullptr),
      m_langs(nullptr),
      m_progressLookAndFeel(nullptr),
      m_progress(0),
      m_progressBar(nullptr),
      m_okButton(nullptr),
      m_cancelButton(nullptr),
      m_fileVersion(-1),
      m_fileValid(0),
      m_fileCheck(0),
      m_deviceVersion(-1),
      m_state(STATE_LANGUAGE),
      m_pendingState(-1),
      m_hidCtrl(nullptr),
      m_reply{},
      m_lastPercent(0),
      m_updateFileName() {
    TxtLoader::createInstance();
    ImageLoader::createInstance();

    m_langLookAndFeel = new LangLookAndFeel([](unsigned int i) { return TxtLoader::getInstance()->getLang(i); },
                                            [](unsigned int i) { return TxtLoader::getInstance()->getFont(i); });

    m_langs = new juce::ComboBox("langs");
    addAndMakeVisible(m_langs);
    m_langs->setLookAndFeel(m_langLookAndFeel);
    m_langs->addListener(this);
    m_langs->setWantsKeyboardFocus(false);
    TxtLoader* txt = TxtLoader::getInstance();
    for (unsigned int i = 0; i < TxtLoader::kLocaleCount; ++i)
        if (txt->isLocale(i)) m_langs->addItem(txt->getLang(i), static_cast<int>(i) + 1);
    m_langs->setSelectedId(static_cast<int>(txt->getLocale()) + 1, juce::dontSendNotification);

    m_progressLookAndFeel = new ProgressLookAndFeel();
    m_progressBar = new juce::ProgressBar(m_progress);
    addAndMakeVisible(m_progressBar);
    m_progressBar->setLookAndFeel(m_progressLookAndFeel);
    m_progressBar->setColour(juce::ProgressBar::foregroundColourId, juce::Colour(61, 61, 61));
    m_progressBar->setColour(juce::ProgressBar::backgroundColourId, juce::Colour(8, 8, 8));

    for (AlineButton** button : {&m_okButton, &m_cancelButton}) {
        *button = new AlineButton(button == &m_okButton ? "OK" : "Cancel");
        addAndMakeVisible(*button);
        (*button)->addListener(this);
        (*button)->setStyle(1);
        (*button)->setColour(juce::TextButton::buttonColourId, BackgroundColour);
        (*button)->setColour(juce::TextButton::buttonOnColourId, BackgroundColour);
    }

    char name[256] = {};
    if (!GetUpFilePath("ktrq7_", ".upd", name)) GetUpFilePath("KTRQ7_", ".upd", name);
    m_updateFileName = juce::String::fromUTF8(name);

    int version = -1;
    const int result = checkUPD(m_updateFileName, reinterpret_cast<unsigned char const*>("TL382 "), &version);
    if (version < 1 || result < 1) {
        m_fileValid = 0;
        m_fileVersion = -1;
        m_fileCheck = 0;
    } else {
        m_fileValid = 1;
        m_fileVersion = version;
        m_fileCheck = result;
    }

    std::memset(m_reply, 0, sizeof m_reply);
    m_lastPercent = 0;

    m_hidCtrl = new HidCtrl();
    m_hidCtrl->initialize(this, m_fileValid);

    setSize(420, 170);
}

MainComponent::~MainComponent() {
    // Reached with a worker only if a quit slipped past the refusal during a transfer: end it before
    // anything it uses goes. A stop request cuts its waits short, so this cannot hang.
    if (isThreadRunning()) {
        signalThreadShouldExit();
        clearReplyAndWake();
        stopThread(-1);
    }

    delete m_langs;
    m_langs = nullptr;
    delete m_progressBar;
    m_progressBar = nullptr;
    delete m_okButton;
    m_okButton = nullptr;
    delete m_cancelButton;
    m_cancelButton = nullptr;
    delete m_langLookAndFeel;
    m_langLookAndFeel = nullptr;
    delete m_progressLookAndFeel;
    m_progressLookAndFeel = nullptr;

    if (m_hidCtrl != nullptr) {
        m_hidCtrl->finalize();
        delete m_hidCtrl;
        m_hidCtrl = nullptr;
    }

    ImageLoader::releaseInstance();
    TxtLoader::releaseInstance();
}

void MainComponent::setTimingForTesting(const Timing& timing) { gTiming = timing; }

// ---------------------------------------------------------------------------------------------------------------
// Screens

void MainComponent::updateCtrl() {
    TxtLoader* txt = TxtLoader::getInstance();
    const juce::String fontName = txt->getFont();
    juce::Font::setFallbackFontName(fontName);

    if (juce::Component* parent = getParentComponent()) parent->setName(txt->getString(3));

    m_glyphs.clear();
    const int locale = static_cast<int>(txt->getLocale());
    const float W = static_cast<float>(getWidth());
    const float H = static_cast<float>(getHeight());

    const juce::Font heading(fontName, 13.0f, juce::Font::bold);
    const juce::Font body(fontName, 13.0f, juce::Font::plain);
    const juce::String deviceName = txt->getString(static_cast<unsigned int>(m_fileValid + 1));

    auto place = [&](const juce::Font& font, const juce::String& text, float x, float y, float width) {
        m_glyphs.addFittedText(font, text, x, y, width, H - y, kTopLeft, static_cast<int>((H - y) / 13.0f),
                               kMinimumScale);
    };
    // The top of a block placed below another: the bottom of the last glyph, whitespace included. Taken from
    // the glyph itself: a line feed may have no width, and a union of boxes skips empty ones.
    auto below = [&] { return m_glyphs.getGlyph(m_glyphs.getNumGlyphs() - 1).getBounds().getBottom(); };
    auto withDevice = [&](unsigned int index) {
        return formatted(txt->getString(index).toRawUTF8(), deviceName.toRawUTF8());
    };

    if (m_state == STATE_LANGUAGE) {
        place(heading, txt->getString(8) + "\n\n", 20, 20, W - 40);
        place(body, txt->getString(9), 40, below(), W - 60);
    } else if (m_fileValid == 0) {
        place(body, txt->getString(10), 105, 20, W - 125);
    } else if (m_state == STATE_NOT_CONNECTED) {
        dispHowToUpdate(105, 20, locale, fontName, true);
    } else if (m_state == STATE_READY) {
        place(heading, withDevice(12) + "\n\n", 20, 20, W - 40);
        static const float kInstructionOffset[2] = {16, 31};
        dispHowToStart(40, 20 + kInstructionOffset[locale == 6 ? 1 : 0], locale, fontName);
        const juce::Font version(fontName, smallScript(locale) ? 10.0f : 13.0f, juce::Font::plain);
        const int dq = m_deviceVersion / 100, dr = m_deviceVersion - 100 * dq;
        const int fq = m_fileVersion / 100, fr = m_fileVersion - 100 * fq;
        const juce::String versions = formatted(txt->getString(13).toRawUTF8(), dq, dr) + "\n" +
                                      formatted(txt->getString(14).toRawUTF8(), fq, fr);
        place(version, versions, 60, below() + 5, W - 60);
    } else if (m_state == STATE_UPDATING) {
        place(heading, withDevice(15) + "\n\n", 20, 20, W - 40);
        place(body, txt->getString(16), 40, below(), W - 60);
    } else if (m_state == STATE_COMPLETE) {
        place(body, withDevice(17), 20, 20, W - 40);
    } else if (m_state == STATE_ERROR) {
        place(body, txt->getString(18) + "\n", 105, 20, W - 125);
        dispHowToUpdate(105, 20, locale, fontName, false);
    }

    if (m_state == STATE_LANGUAGE) {
        m_langs->setVisible(true);
        m_langs->setSelectedId(locale + 1, juce::dontSendNotification);
        m_langs->resized();
    } else {
        m_langs->setVisible(false);
    }
    m_progressBar->setVisible(m_state == STATE_UPDATING);

    m_okButton->setFont(fontName);
    m_cancelButton->setFont(fontName);

    const int w = getWidth(), h = getHeight();
    const juce::Rectangle<int> rightSlot(w - 120, h - 40, 100, 20);
    const juce::Rectangle<int> leftSlot(w - 230, h - 40, 100, 20);
    auto show = [&](AlineButton* button, unsigned int text, juce::Rectangle<int> bounds) {
        button->setVisible(true);
        button->setButtonText(txt->getString(text));
        button->setBounds(bounds);
    };
    if (m_state == STATE_LANGUAGE) {
        show(m_okButton, 4, rightSlot);
        show(m_cancelButton, 6, leftSlot);
    } else if (m_fileValid == 0 || m_state == STATE_COMPLETE || m_state == STATE_ERROR) {
        m_okButton->setVisible(false);
        show(m_cancelButton, 4, rightSlot);
    } else if (m_state == STATE_NOT_CONNECTED) {
        m_okButton->setVisible(false);
        show(m_cancelButton, 7, rightSlot);
    } else if (m_state == STATE_READY) {
        show(m_okButton, 5, rightSlot);
        show(m_cancelButton, 7, leftSlot);
    } else if (m_state == STATE_UPDATING) {
        m_okButton->setVisible(false);
        m_cancelButton->setVisible(false);
    }

    repaint();
}

void MainComponent::resized() {
    const int w = getWidth() - 40;
    const int y = (getHeight() - 20) / 2;
    updateCtrl();
    m_langs->setBounds(20, y, w, 20);
    m_progressBar->setBounds(20, y, w, 20);
    if (m_okButton->isVisible()) {
        m_okButton->setBounds(getWidth() - 120, getHeight() - 40, 100, 20);
        m_cancelButton->setBounds(getWidth() - 230, getHeight() - 40, 100, 20);
    } else {
        m_cancelButton->setBounds(getWidth() - 120, getHeight() - 40, 100, 20);
    }
}

void MainComponent::paint(juce::Graphics& g) {
    g.fillAll(BackgroundColour);
    if ((m_state != STATE_LANGUAGE && m_fileValid == 0) || m_state == STATE_NOT_CONNECTED || m_state == STATE_ERROR) {
        const juce::Image image = ImageLoader::getInstance()->getImage(0);
        if (image.isValid()) g.drawImage(image, 20, 15, 64, 64, 0, 0, image.getWidth(), image.getHeight(), false);
    }
    g.setColour(juce::Colour(0, 0, 0));
    m_glyphs.draw(g);
}

void MainComponent::dispHowToUpdate(float x, float y, int locale, juce::String const& fontName, bool headline) {
    TxtLoader* txt = TxtLoader::getInstance();
    const float width = static_cast<float>(getWidth()) - (x + 15);
    const float fh = smallScript(locale) ? 10.0f : 13.0f;
    const juce::Font plain(fontName, fh, juce::Font::plain);
    const juce::String deviceName = txt->getString(static_cast<unsigned int>(m_fileValid + 1));
    const char* device = deviceName.toRawUTF8();

    if (headline) {
        m_glyphs.addFittedText(juce::Font(fontName, 13.0f, juce::Font::bold),
                               formatted(txt->getString(20).toRawUTF8(), device), x, y, width, 16, kTopLeft, 1,
                               kMinimumScale);
    }
    y += 16;

    const int connectLines = (locale == 2 || locale == 4) ? 2 : 1;
    m_glyphs.addFittedText(plain, formatted(txt->getString(21).toRawUTF8(), device), x, y, width, 32, kTopLeft,
                           connectLines, kMinimumScale);
    y += fh * static_cast<float>(connectLines) + 3;

    const int modeLines = locale == 0 ? 2 : 3;
    const juce::String mode =
        locale >= 8 ? formatted(txt->getString(22).toRawUTF8(), kFirstButtonLabel, kSecondButtonLabel, device)
                    : formatted(txt->getString(22).toRawUTF8(), device, kFirstButtonLabel, kSecondButtonLabel);
    m_glyphs.addFittedText(plain, mode, x, y, width, 16.0f * static_cast<float>(modeLines), kTopLeft, modeLines,
                           kMinimumScale);
    y += fh * static_cast<float>(modeLines) + 3;

    m_glyphs.addFittedText(plain, txt->getString(23), x, y, width, 16, kTopLeft, 1, kMinimumScale);
}

void MainComponent::dispHowToStart(float x, float y, int locale, juce::String const& fontName) {
    TxtLoader* txt = TxtLoader::getInstance();
    const float width = static_cast<float>(getWidth()) - (x + 20);
    const float fh = smallScript(locale) ? 10.0f : 13.0f;
    const juce::String deviceName = txt->getString(static_cast<unsigned int>(m_fileValid + 1));
    const char* device = deviceName.toRawUTF8();

    const int lines = locale == 0 ? 2 : 3;
    const juce::String text =
        locale >= 8 ? formatted(txt->getString(24).toRawUTF8(), kFirstButtonLabel, kSecondButtonLabel, device)
                    : formatted(txt->getString(24).toRawUTF8(), device, kFirstButtonLabel, kSecondButtonLabel);
    m_glyphs.addFittedText(juce::Font(fontName, fh, juce::Font::plain), text, x, y, width,
                           16.0f * static_cast<float>(lines), kTopLeft, lines, kMinimumScale);
}

void MainComponent::drawIcon(juce::Graphics& g, int kind) {
    if (kind == 0) return;
    const juce::Rectangle<float> box(20, 15, 64, 64);

    juce::Path shape;
    juce::Colour fill(0x99FFFFFF);
    juce::Colour character(0x990000FF);
    juce::String text("?");
    int textY = 15;
    if (kind == 2) {
        shape.addTriangle(box.getX() + box.getWidth() * 0.5f, box.getY(), box.getRight(), box.getBottom(), box.getX(),
                          box.getBottom());
        shape = shape.createPathWithRoundedCorners(5);
        fill = juce::Colour(0x99FFFF00);
        character = juce::Colour(0x99000000);
        text = "!";
        textY = static_cast<int>(box.getY() * 1.5f);
    } else {
        shape.addEllipse(20, 15, 64, 64);
        if (kind == 3) text = "i";
    }

    g.setColour(fill);
    g.fillPath(shape);
    g.setColour(juce::Colour(0x99000000));
    g.strokePath(shape, juce::PathStrokeType(4.0f, juce::PathStrokeType::mitered, juce::PathStrokeType::butt));

    g.setColour(character);
    g.setFont(juce::Font(box.getHeight() * 0.9f, juce::Font::bold));
    g.drawFittedText(text, 20, textY, 64, 64, juce::Justification(36), 0, 0.7f);
}

// ---------------------------------------------------------------------------------------------------------------
// Update states and device events

void MainComponent::changeUpdateState(STATE_t state) {
    const juce::ScopedLock lock(m_stateLock);
    m_pendingState = state;
    triggerAsyncUpdate();
}

void MainComponent::handleAsyncUpdate() {
    // The bar polls its value on this thread; the worker hands it over here.
    m_progress = m_progressValue.load();
    if (m_state == STATE_LANGUAGE) return;
    const juce::ScopedLock lock(m_stateLock);
    if (m_pendingState != -1) updateSequence(static_cast<STATE_t>(m_pendingState));
    m_pendingState = -1;
}

void MainComponent::updateSequence(STATE_t state) {
    if (m_state != STATE_LANGUAGE && m_fileValid == 0) return;
    if (m_state == STATE_COMPLETE || m_state == STATE_ERROR) return;
    m_state = state;
    updateCtrl();
}

void MainComponent::clearReplyAndWake() {
    {
        const std::lock_guard<std::mutex> lock(m_replyLock);
        std::memset(m_reply, 0, sizeof m_reply);
        m_replyUnread = false;
    }
    m_replyEvent.signal();
}

void MainComponent::deviceEventDuringTransfer() {
    {
        const std::lock_guard<std::mutex> lock(m_replyLock);
        // A reply the worker has not read yet stays: a device that leaves right after its last answer (as one
        // that restarts after an update does) must not turn a finished update into a failed one. The worker
        // meets the event at its next wait instead.
        if (m_replyUnread) {
            m_deviceEventPending = true;
        } else {
            std::memset(m_reply, 0, sizeof m_reply);
        }
    }
    m_replyEvent.signal();
}

void MainComponent::removalCallBack() {
    m_deviceVersion = -1;
    if (replyAwaited())
        deviceEventDuringTransfer();
    else
        changeUpdateState(STATE_NOT_CONNECTED);
}

void MainComponent::matchingCallBack() {
    m_deviceVersion = static_cast<int>(m_hidCtrl->getVersion());
    if (replyAwaited())
        deviceEventDuringTransfer();
    else
        changeUpdateState(STATE_READY);
}

void MainComponent::inputCallBack() {
    const unsigned char* data = m_hidCtrl->getData();
    const unsigned int length = std::min<unsigned int>(m_hidCtrl->getLength(), sizeof m_reply);
    if (data == nullptr || length == 0) return;
    {
        const std::lock_guard<std::mutex> lock(m_replyLock);
        std::memcpy(m_reply, data, length);
        m_replyUnread = true;
    }
    if (replyAwaited()) m_replyEvent.signal();
}

// ---------------------------------------------------------------------------------------------------------------
// Buttons, language list and quit

void MainComponent::comboBoxChanged(juce::ComboBox* comboBoxThatHasChanged) {
    if (comboBoxThatHasChanged != m_langs) return;
    const unsigned int index = static_cast<unsigned int>(m_langs->getSelectedId() - 1);
    if (index != TxtLoader::getInstance()->getLocale()) {
        TxtLoader::getInstance()->setLocale(index);
        // Faces are cached by family name; one chosen for the previous language's script must not serve this one.
        juce::Typeface::clearTypefaceCache();
    }
    updateCtrl();
}

void MainComponent::buttonClicked(juce::Button* button) {
    if (button == m_okButton) {
        if (m_state == STATE_LANGUAGE) {
            if (m_hidCtrl->getState() != 0) {
                m_deviceVersion = static_cast<int>(m_hidCtrl->getVersion());
                updateSequence(STATE_READY);
            } else {
                m_deviceVersion = -1;
                updateSequence(STATE_NOT_CONNECTED);
            }
        } else if (m_state == STATE_READY && m_fileValid != 0) {
            // Device events wake the worker from here on, so a second click must not reset a reply it has
            // not read yet.
            if (!m_transferRunning.load()) {
                {
                    const std::lock_guard<std::mutex> lock(m_replyLock);
                    m_replyUnread = false;
                    m_deviceEventPending = false;
                }
                m_replyEvent.reset();
                m_transferRunning = true;
                if (!startThread()) m_transferRunning = false;
            }
        } else {
            quitSequence();
        }
    } else if (button == m_cancelButton) {
        quitSequence();
    }
}

void MainComponent::quitSequence() {
    // Asked to stop before it is woken: a worker woken first could reach its finish wait before the request,
    // and the reply that would end that wait can only come through this thread, which is about to block.
    signalThreadShouldExit();
    clearReplyAndWake();
    stopThread(-1);
    if (juce::JUCEApplicationBase* app = juce::JUCEApplicationBase::getInstance()) app->systemRequestedQuit();
}

// ---------------------------------------------------------------------------------------------------------------
// Update transfer

void MainComponent::sendRequest(unsigned char* report) { m_hidCtrl->setData(report, kReportSize); }

bool MainComponent::waitForReply(int timeoutMs, juce::uint8& code, juce::uint8& percent) {
    code = 0;
    percent = 0;
    // A stop request ends every wait at once, as if no reply came.
    if (threadShouldExit()) return false;
    {
        // A device that left or came while a reply was still unread: answered by a cleared reply.
        const std::lock_guard<std::mutex> lock(m_replyLock);
        if (m_deviceEventPending && !m_replyUnread) {
            m_deviceEventPending = false;
            m_replyEvent.reset();
            return true;
        }
    }
    if (!m_replyEvent.wait(timeoutMs)) return false;
    m_replyEvent.reset();
    const std::lock_guard<std::mutex> lock(m_replyLock);
    code = m_reply[0];
    percent = m_reply[1];
    m_replyUnread = false;
    return true;
}

void MainComponent::run() {
    const Timing timing = gTiming;
    auto setProgress = [this](double value) {
        m_progressValue.store(value);
        triggerAsyncUpdate();
    };
    setProgress(0);
    bool ok = true;
    changeUpdateState(STATE_UPDATING);

    auto finish = [&](STATE_t state) {
        changeUpdateState(state);
        m_transferRunning = false;
    };

    if (m_fileCheck == 0) return finish(STATE_ERROR);

    juce::uint8 code = 0, percent = 0;
    unsigned char report[kReportSize] = {};
    report[0] = 0xF0;
    report[1] = 0x00;
    report[2] = static_cast<unsigned char>((m_fileVersion & 0xFF0) >> 4);
    report[3] = static_cast<unsigned char>((m_fileVersion & 0x0F) << 4);
    report[4] = static_cast<unsigned char>(1 | (m_blockFlag[0] == 1 ? 0x80 : 0x00));
    report[5] = static_cast<unsigned char>(m_blockSize[0] & 0xFF);
    report[6] = static_cast<unsigned char>((m_blockSize[0] >> 8) & 0xFF);
    report[7] = static_cast<unsigned char>((m_blockSize[0] >> 16) & 0xFF);
    report[8] = static_cast<unsigned char>(m_blockCrc[0] & 0xFF);
    report[9] = static_cast<unsigned char>(m_blockCrc[0] >> 8);
    sendRequest(report);
    if (!waitForReply(timing.startMs, code, percent) || code != 0xF8) return finish(STATE_ERROR);

    const juce::String fileName = m_fileValid == 1 ? m_updateFileName : juce::String();
    const int blockNumber = 1;
    for (int block = 0; block < 1; ++block) {
        const juce::int64 length = m_blockSize[block];
        std::unique_ptr<unsigned char[]> data(new (std::nothrow) unsigned char[static_cast<std::size_t>(length)]);
        if (data == nullptr) {
            ok = false;
            break;
        }
        std::memset(data.get(), 0xFF, static_cast<std::size_t>(length));
        {
            const juce::File file =
                getSpecialLocation(juce::File::currentExecutableFile).getParentDirectory().getChildFile(fileName);
            std::unique_ptr<juce::FileInputStream> stream = openRegularFile(file);
            if (stream == nullptr) {
                ok = false;
                break;
            }
            stream->setPosition(0);
            // Bytes the read does not deliver stay 0xFF; the announced CRC lets the device notice.
            stream->read(data.get(), static_cast<std::size_t>(length));
        }
        if (m_blockFlag[block] != 1) continue;

        std::memset(report, 0, sizeof report);
        report[0] = 0xF1;
        report[1] = static_cast<unsigned char>(blockNumber);
        sendRequest(report);
        if (!waitForReply(timing.openBlockMs, code, percent)) {
            ok = false;
            break;
        }
        if (code != 0xF9) continue;

        const juce::int64 chunks = (length + kChunkPayload - 1) / kChunkPayload;
        std::memset(report, 0, sizeof report);
        report[0] = 0xF3;
        report[1] = static_cast<unsigned char>(blockNumber);
        for (juce::int64 c = 0; c < chunks; ++c) {
            setProgress(m_lastPercent / 100.0);
            const juce::int64 offset = c * kChunkPayload;
            const std::size_t count = static_cast<std::size_t>(std::min<juce::int64>(kChunkPayload, length - offset));
            std::memcpy(report + 2, data.get() + offset, count);
            // The tail of a short last chunk goes out as zeros, not as bytes of the chunk before.
            std::memset(report + 2 + count, 0, static_cast<std::size_t>(kChunkPayload) - count);
            sendRequest(report);
            if (!waitForReply(timing.dataMs, code, percent)) {
                ok = false;
                break;
            }
            const bool last = c == chunks - 1;
            if (last ? (code != 0xFE && code != 0xFB) : code != 0xF9) {
                ok = false;
                break;
            }
            m_lastPercent = percent;
        }
        if (!ok) break;
    }

    std::memset(report, 0, sizeof report);
    report[0] = 0xF2;
    for (;;) {
        sendRequest(report);
        if (!waitForReply(timing.finishMs, code, percent)) {
            ok = false;
            break;
        }
        if (code != 0xFC && code != 0xF7) {
            ok = false;
            break;
        }
        setProgress(percent / 100.0);
        wait(timing.finishPauseMs);
        if (code == 0xFC) break;
    }

    finish(ok ? STATE_COMPLETE : STATE_ERROR);
}
bool MainComponent::GetUpFilePath(const char* prefix, const char* extension, char* buffer) {
    const juce::File executable = getSpecialLocation(juce::File::currentExecutableFile);
    if (executable == juce::File()) return false;
    const juce::Array<juce::File> files =
        executable.getParentDirectory().findChildFiles(juce::File::findFiles, false, "*.upd");
    for (const juce::File& file : files) {
        const juce::String name = file.getFileName();
        // Where file names ignore case the pattern does too; ".UPD" must stay unlisted everywhere.
        if (!name.endsWith(".upd")) continue;
        if (CheckFileName(name.toRawUTF8(), prefix, extension)) {
            // A passing name holds at most 14 bytes.
            std::strcat(buffer, name.toRawUTF8());
            return true;
        }
    }
    return false;
}

bool MainComponent::CheckFileName(const char* name, const char* prefix, const char* extension) {
    if (name == nullptr || prefix == nullptr || extension == nullptr) return false;
    if (std::strncmp(name, prefix, std::strlen(prefix)) != 0) return false;
    const char* dot = std::strchr(name, '.');
    if (dot == nullptr || std::strncmp(dot, extension, std::strlen(extension)) != 0) return false;
    const std::size_t length = std::strlen(name);
    return length >= 12 && length <= 14;
}

int MainComponent::checkUPD(juce::String const& fileName, unsigned char const* tag, int* version) {
    if (version != nullptr) *version = -1;
    const juce::File executable = getSpecialLocation(juce::File::currentExecutableFile);
    // The empty name names the folder itself.
    if (fileName.isEmpty() || executable == juce::File()) return 0;
    const juce::File file = executable.getParentDirectory().getChildFile(fileName);

    std::unique_ptr<juce::FileInputStream> stream = openRegularFile(file);
    if (stream == nullptr) return 0;

    // Checked before allocating: a length beyond three bytes cannot be sent, and would not fit an int either.
    const juce::int64 total = stream->getTotalLength();
    if (total < 0 || total > kMaxUpdateFileLength) return 0;
    const int length = static_cast<int>(total);
    std::unique_ptr<unsigned char[]> bytes(new (std::nothrow) unsigned char[static_cast<std::size_t>(length) + 1]);
    if (bytes == nullptr) return 0;
    int done = 0;
    while (done < length) {
        const int n = stream->read(bytes.get() + done, length - done);
        if (n <= 0) break;
        done += n;
    }
    stream.reset();
    // Only bytes that were read are examined; a file that does not read whole is no update file.
    if (done != length) return 0;

    if (version != nullptr && length >= 23)
        *version = (bytes[20] - 0x30) * 100 + (bytes[21] - 0x30) * 10 + (bytes[22] - 0x30);

    m_blockFlag[0] = 1;
    m_blockSize[0] = length;
    m_blockCrc[0] = calcCRC(bytes.get(), length);

    if (tag != nullptr && length >= 5 && std::memcmp(bytes.get(), tag, 5) == 0) return length - 36;
    return 0;
}

juce::uint16 MainComponent::calcCRC(unsigned char const* data, long length) {
    unsigned crc = 0;
    if (data == nullptr || length <= 0) return 0;
    const unsigned char* p = data;
    std::size_t left = static_cast<std::size_t>(length);
    for (; left >= 8; left -= 8, p += 8) {
        crc = static_cast<unsigned>(kCrc.t[7][(crc >> 8) ^ p[0]] ^ kCrc.t[6][(crc & 0xFFu) ^ p[1]] ^ kCrc.t[5][p[2]] ^
                                    kCrc.t[4][p[3]] ^ kCrc.t[3][p[4]] ^ kCrc.t[2][p[5]] ^ kCrc.t[1][p[6]] ^
                                    kCrc.t[0][p[7]]);
    }
    for (; left > 0; --left, ++p) crc = ((crc << 8) ^ kCrc.t[0][(crc >> 8) ^ *p]) & 0xFFFFu;
    return static_cast<juce::uint16>(crc);
}

juce::uint8 MainComponent::ConvertAsciiToHex(unsigned char c) {
    if (c >= '0' && c <= '9') return static_cast<juce::uint8>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<juce::uint8>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<juce::uint8>(c - 'A' + 10);
    return 0;
}
