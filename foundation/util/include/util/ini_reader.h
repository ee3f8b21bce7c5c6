// TwIniReader: reads and writes keys of one INI file through the private-profile functions.
// Not thread-safe per object (the file itself may be shared: writes are atomic renames).
#pragma once

class TwIniReader {
public:
    static constexpr unsigned long kPathSize = 512;

    TwIniReader();
    explicit TwIniReader(const char* fileName);
    virtual ~TwIniReader();

    // A relative name is placed in the current directory; an absolute one is kept. Names longer
    // than kPathSize - 1 are cut.
    virtual void SetINIFileName(const char* fileName);
    // Two-call convention: with too few or too small buffers, *count and *maxLength receive what
    // is needed and the result is 0; with enough, the strings are copied and the result is 1.
    virtual int GetSectionData(const char* section, char** lines, unsigned long* count,
                               unsigned long* maxLength);
    virtual int GetSectionNames(char** names, unsigned long* count, unsigned long* maxLength);
    virtual int SectionExists(const char* section);  // 1 when it holds at least one key
    // Note the order: value, key, section. Nonzero on success.
    virtual long SetKey(const char* value, const char* key, const char* section);
    // Note the order: key before section. "" when absent.
    virtual void GetKeyValue(const char* key, const char* section, char* buffer, unsigned long size);

    const char* FileName() const { return m_FileName; }

protected:
    virtual int RetriveStrings(const char* list, unsigned long listLength, char** out, unsigned long* count,
                               unsigned long* maxLength);

private:
    int ReadList(const char* section, char** out, unsigned long* count, unsigned long* maxLength);

    char m_FileName[kPathSize];
};
