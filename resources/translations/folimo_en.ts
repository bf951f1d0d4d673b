<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>CFileListRows</name>
    <message>
        <source>文件不存在</source>
        <translation>Missing</translation>
    </message>
</context>
<context>
    <name>CMainDlg</name>
    <message>
        <source>转换引擎无法启动。</source>
        <translation>The conversion engine cannot start.</translation>
    </message>
    <message>
        <source>无法显示: 文件不存在</source>
        <translation>Cannot show: the file is missing</translation>
    </message>
    <message>
        <source>无法显示: 文件无法读取</source>
        <translation>Cannot show: the file cannot be read</translation>
    </message>
    <message>
        <source>无法显示: 文件已损坏</source>
        <translation>Cannot show: damaged</translation>
    </message>
    <message>
        <source>无法显示: 图片太大，无法预览</source>
        <translation>Cannot show: too large to preview</translation>
    </message>
    <message>
        <source>无法显示: 不是图片</source>
        <translation>Cannot show: not a picture</translation>
    </message>
    <message>
        <source>文件：%1&#x3000;页数：至少 %2</source>
        <translation>Files: %1   Pages: at least %2</translation>
    </message>
    <message>
        <source>文件：%1&#x3000;页数：%2</source>
        <translation>Files: %1   Pages: %2</translation>
    </message>
</context>
<context>
    <name>CMakeDialog</name>
    <message>
        <source>，约 %1 秒</source>
        <translation>, about %1 s left</translation>
    </message>
</context>
<context>
    <name>CScanDialog</name>
    <message>
        <source>平板</source>
        <translation>Flatbed</translation>
    </message>
    <message>
        <source>自动进纸器</source>
        <translation>Document feeder</translation>
    </message>
    <message>
        <source>自动进纸器（双面）</source>
        <translation>Document feeder (duplex)</translation>
    </message>
    <message>
        <source>彩色</source>
        <translation>Colour</translation>
    </message>
    <message>
        <source>灰度</source>
        <translation>Grey</translation>
    </message>
    <message>
        <source>黑白</source>
        <translation>Black and white</translation>
    </message>
    <message>
        <source>找不到这台扫描仪：它可能已断开或关闭。请检查后点击“刷新”。</source>
        <translation>The scanner cannot be found: it may be disconnected or switched off. Check it, then click Refresh.</translation>
    </message>
    <message>
        <source>扫描仪正被另一个程序使用。请关闭那个程序后再试。</source>
        <translation>The scanner is in use by another program. Close that program and try again.</translation>
    </message>
    <message>
        <source>扫描仪的盖子是打开的。请合上后再扫描。</source>
        <translation>The scanner&apos;s cover is open. Close it and scan again.</translation>
    </message>
    <message>
        <source>卡纸了。请取出卡住的纸张后再扫描。</source>
        <translation>The paper is jammed. Remove the jammed paper and scan again.</translation>
    </message>
    <message>
        <source>进纸器中没有纸。请放入纸张后再扫描。</source>
        <translation>The document feeder is empty. Load the pages and scan again.</translation>
    </message>
    <message>
        <source>扫描一页时扫描仪断开了。未扫描完的页面没有添加到列表中。</source>
        <translation>The scanner was disconnected while scanning a page. Nothing half-written was added to the list.</translation>
    </message>
    <message>
        <source>没有使用这台扫描仪的权限。请向系统管理员申请权限。</source>
        <translation>You have no permission to use this scanner. Ask your system administrator for access.</translation>
    </message>
    <message>
        <source>内存不足，无法继续扫描。</source>
        <translation>There is not enough memory to go on scanning.</translation>
    </message>
    <message>
        <source>扫描仪不支持所选的设置。请换一种来源、颜色或分辨率。</source>
        <translation>The scanner does not support the chosen settings. Choose another source, colour or resolution.</translation>
    </message>
    <message>
        <source>扫描失败。</source>
        <translation>The scan failed.</translation>
    </message>
    <message>
        <source>扫描失败：%1</source>
        <translation>The scan failed: %1</translation>
    </message>
    <message>
        <source>正在扫描第 %1 页...</source>
        <translation>Scanning page %1...</translation>
    </message>
    <message>
        <source>第 %1 页是空白页，已跳过。</source>
        <translation>Page %1 is blank and was skipped.</translation>
    </message>
    <message>
        <source>已扫描 %1 页，跳过空白页 %2 页</source>
        <translation>Pages scanned: %1, blank pages skipped: %2</translation>
    </message>
    <message>
        <source>正在查找扫描仪...</source>
        <translation>Looking for scanners...</translation>
    </message>
    <message>
        <source>没有找到扫描仪。请连接扫描仪并打开电源，然后点击“刷新”。</source>
        <translation>No scanner was found. Connect a scanner and switch it on, then click Refresh.</translation>
    </message>
    <message>
        <source>正在读取扫描仪的设置...</source>
        <translation>Reading the scanner&apos;s settings...</translation>
    </message>
    <message>
        <source>%1 dpi</source>
        <translation>%1 dpi</translation>
    </message>
    <message>
        <source>整个扫描区域</source>
        <translation>Whole scan area</translation>
    </message>
    <message>
        <source>选择保存扫描的文件夹</source>
        <translation>Choose the folder scans are saved in</translation>
    </message>
    <message>
        <source>正在启动扫描仪...</source>
        <translation>Starting the scanner...</translation>
    </message>
    <message>
        <source>正在停止...</source>
        <translation>Stopping...</translation>
    </message>
    <message>
        <source>之前扫描的 %1 页已添加到列表中。</source>
        <translation>The %1 page(s) scanned before were added to the list.</translation>
    </message>
    <message>
        <source>扫描已停止。之前扫描的 %1 页已添加到列表中。</source>
        <translation>Scanning stopped. The %1 page(s) scanned before were added to the list.</translation>
    </message>
    <message>
        <source>扫描完成。</source>
        <translation>Scanning finished.</translation>
    </message>
</context>
<context>
    <name>CSettingsDialog</name>
    <message>
        <source>%1 - 未安装</source>
        <translation>%1 - not installed</translation>
    </message>
    <message>
        <source>请安装Debian软件包 %1</source>
        <translation>Install the Debian package %1</translation>
    </message>
    <message>
        <source>需要文字方向数据: 请安装Debian软件包 tesseract-ocr-osd</source>
        <translation>Needs the text direction data: install the Debian package tesseract-ocr-osd</translation>
    </message>
</context>
<context>
    <name>ConversionProgress</name>
    <message>
        <source>%1&gt; 开始生成PDF: %2</source>
        <translation>%1&gt; Making the PDF: %2</translation>
    </message>
    <message>
        <source>%1&gt; 添加文件: %2</source>
        <translation>%1&gt; Adding file: %2</translation>
    </message>
    <message>
        <source>完成</source>
        <translation>Done</translation>
    </message>
    <message>
        <source>已停止: 没有生成页面</source>
        <translation>Stopped: no page was made</translation>
    </message>
    <message>
        <source>已停止: %1 页保存在 %2</source>
        <translation>Stopped: %1 pages kept in %2</translation>
    </message>
    <message>
        <source>PDF未能生成: %1</source>
        <translation>PDF failed: %1</translation>
    </message>
    <message>
        <source>%1&gt; PDF完成: %2</source>
        <translation>%1&gt; PDF done: %2</translation>
    </message>
    <message>
        <source>错误: 图片文件无法加载 %1: %2</source>
        <translation>Error: cannot load the picture file %1: %2</translation>
    </message>
    <message>
        <source>错误: 水印图片无法使用 %1: %2</source>
        <translation>Error: the watermark image %1 cannot be used and is left out: %2</translation>
    </message>
    <message>
        <source>失败: 没有写入PDF</source>
        <translation>Failed: no PDF was written</translation>
    </message>
    <message>
        <source>已写入 %1 个PDF</source>
        <translation>%1 PDF(s) written</translation>
    </message>
    <message>
        <source>，%1 个PDF未能生成</source>
        <translation>, %1 PDF(s) failed</translation>
    </message>
    <message>
        <source>，%1 个文件失败</source>
        <translation>, %1 file(s) failed</translation>
    </message>
    <message>
        <source>错误: PDF无法写入: %1</source>
        <translation>Error: the PDF cannot be written: %1</translation>
    </message>
    <message>
        <source>错误: 没有安装“%1”的文字识别数据: 请安装Debian软件包 %2</source>
        <translation>Error: the language data for “%1” is not installed: install the Debian package %2</translation>
    </message>
    <message>
        <source>%2 的第 %1 页: 无法识别其中的文字; 该页保留, 但不含文字</source>
        <translation>page %1 of %2: its text could not be recognised; the page is kept without text</translation>
    </message>
    <message>
        <source>%2 的第 %1 页</source>
        <translation>page %1 of %2</translation>
    </message>
    <message>
        <source>正在识别文字: %1</source>
        <translation>Recognising text: %1</translation>
    </message>
</context>
<context>
    <name>McListAccessible</name>
    <message>
        <source>图片列表</source>
        <translation>Picture list</translation>
    </message>
</context>
<context>
    <name>OwnCaption</name>
    <message>
        <source>调整窗口大小</source>
        <translation>Resize window</translation>
    </message>
</context>
<context>
    <name>SImageWndEx</name>
    <message>
        <source>图片预览</source>
        <translation>Picture preview</translation>
    </message>
</context>
<context>
    <name>SMCListViewEx</name>
    <message>
        <source>列标题</source>
        <translation>Column headers</translation>
    </message>
</context>
<context>
    <name>StartupCommand</name>
    <message>
        <source>无法读取文件夹“%1”（%2），没有可转换的图片。</source>
        <translation>The folder “%1” cannot be read (%2), so there are no pictures to convert.</translation>
    </message>
    <message>
        <source>设置文件“%1”不是普通文件，无法读取。程序使用默认设置，也不会写入该文件。</source>
        <translation>The settings file “%1” is not a regular file and cannot be read. The program uses the default settings and does not write to that file.</translation>
    </message>
</context>
<context>
    <name>TextLanguages</name>
    <message>
        <source>简体中文</source>
        <translation>Simplified Chinese</translation>
    </message>
    <message>
        <source>简体中文（竖排）</source>
        <translation>Simplified Chinese, vertical</translation>
    </message>
    <message>
        <source>繁体中文</source>
        <translation>Traditional Chinese</translation>
    </message>
    <message>
        <source>繁体中文（竖排）</source>
        <translation>Traditional Chinese, vertical</translation>
    </message>
    <message>
        <source>英语</source>
        <translation>English</translation>
    </message>
    <message>
        <source>日语</source>
        <translation>Japanese</translation>
    </message>
    <message>
        <source>韩语</source>
        <translation>Korean</translation>
    </message>
    <message>
        <source>德语</source>
        <translation>German</translation>
    </message>
    <message>
        <source>法语</source>
        <translation>French</translation>
    </message>
    <message>
        <source>西班牙语</source>
        <translation>Spanish</translation>
    </message>
    <message>
        <source>葡萄牙语</source>
        <translation>Portuguese</translation>
    </message>
    <message>
        <source>意大利语</source>
        <translation>Italian</translation>
    </message>
    <message>
        <source>俄语</source>
        <translation>Russian</translation>
    </message>
    <message>
        <source>阿拉伯语</source>
        <translation>Arabic</translation>
    </message>
    <message>
        <source>越南语</source>
        <translation>Vietnamese</translation>
    </message>
    <message>
        <source>泰语</source>
        <translation>Thai</translation>
    </message>
</context>
<context>
    <name>XML_ABOUTWND</name>
    <message>
        <source>关于 VelmarFolimo</source>
        <translation>About VelmarFolimo</translation>
    </message>
    <message>
        <source>把图片文件转换为PDF文档的小工具</source>
        <translation>A small tool that turns picture files into PDF documents</translation>
    </message>
    <message>
        <source>版本：</source>
        <translation>Version:</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
</context>
<context>
    <name>XML_MAINWND</name>
    <message>
        <source>主菜单</source>
        <translation>Main menu</translation>
    </message>
    <message>
        <source>最小化</source>
        <translation>Minimize</translation>
    </message>
    <message>
        <source>最大化</source>
        <translation>Maximize</translation>
    </message>
    <message>
        <source>还原</source>
        <translation>Restore</translation>
    </message>
    <message>
        <source>关闭</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>小提示：可以把图片、PDF文件或整个文件夹直接拖放到列表中；拖动选中的行可以调整它们在PDF中的先后顺序。</source>
        <translation>Tip: drop pictures, PDF files or whole folders on the list; drag the selected rows to change their order in the PDF.</translation>
    </message>
    <message>
        <source>添加文件</source>
        <translation>Add files</translation>
    </message>
    <message>
        <source>添加图片或PDF文件</source>
        <translation>Add pictures or PDF files</translation>
    </message>
    <message>
        <source>更多添加方式</source>
        <translation>More ways to add</translation>
    </message>
    <message>
        <source>删除</source>
        <translation>Remove</translation>
    </message>
    <message>
        <source>删除选中的文件</source>
        <translation>Remove the selected files from the list</translation>
    </message>
    <message>
        <source>更多删除方式</source>
        <translation>More ways to remove from the list</translation>
    </message>
    <message>
        <source>设置</source>
        <translation>Settings</translation>
    </message>
    <message>
        <source>PDF与程序设置</source>
        <translation>PDF and program settings</translation>
    </message>
    <message>
        <source>预览</source>
        <translation>Preview</translation>
    </message>
    <message>
        <source>显示或隐藏预览</source>
        <translation>Show or hide the preview</translation>
    </message>
    <message>
        <source>官方网站</source>
        <translation>Website</translation>
    </message>
    <message>
        <source>访问官方网站</source>
        <translation>Visit the website</translation>
    </message>
    <message>
        <source>转换为PDF</source>
        <translation>Convert to PDF</translation>
    </message>
    <message>
        <source>把列表中的图片合并为一个PDF文件</source>
        <translation>Combine the pictures of the list into one PDF file</translation>
    </message>
    <message>
        <source>更多转换方式</source>
        <translation>More ways to convert</translation>
    </message>
    <message>
        <source>序号</source>
        <translation>No.</translation>
    </message>
    <message>
        <source>文件名</source>
        <translation>File name</translation>
    </message>
    <message>
        <source>路径</source>
        <translation>Path</translation>
    </message>
    <message>
        <source>分辨率</source>
        <translation>DPI</translation>
    </message>
    <message>
        <source>尺寸</source>
        <translation>Size</translation>
    </message>
    <message>
        <source>创建时间</source>
        <translation>Created</translation>
    </message>
    <message>
        <source>修改时间</source>
        <translation>Modified</translation>
    </message>
    <message>
        <source>图片预览</source>
        <translation>Picture preview</translation>
    </message>
    <message>
        <source>选中列表中的图片后在这里预览</source>
        <translation>Select a picture in the list to preview it here</translation>
    </message>
    <message>
        <source>向左旋转</source>
        <translation>Turn left</translation>
    </message>
    <message>
        <source>将选中的图片向左旋转 (Ctrl+L)</source>
        <translation>Turn the selected pictures left (Ctrl+L)</translation>
    </message>
    <message>
        <source>向右旋转</source>
        <translation>Turn right</translation>
    </message>
    <message>
        <source>将选中的图片向右旋转 (Ctrl+R)</source>
        <translation>Turn the selected pictures right (Ctrl+R)</translation>
    </message>
    <message>
        <source>页数</source>
        <translation>Pages</translation>
    </message>
</context>
<context>
    <name>XML_MAKEWND</name>
    <message>
        <source>生成PDF</source>
        <translation>Making PDF</translation>
    </message>
    <message>
        <source>正在准备...</source>
        <translation>Preparing...</translation>
    </message>
    <message>
        <source>日志</source>
        <translation>Log</translation>
    </message>
    <message>
        <source>打开PDF文件</source>
        <translation>Open the PDF file</translation>
    </message>
    <message>
        <source>打开所在文件夹</source>
        <translation>Open the containing folder</translation>
    </message>
    <message>
        <source>停止</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>关闭</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>进度</source>
        <translation>Progress</translation>
    </message>
</context>
<context>
    <name>XML_SCANWND</name>
    <message>
        <source>扫描</source>
        <translation>Scan</translation>
    </message>
    <message>
        <source>设备(&amp;D)</source>
        <translation>&amp;Device</translation>
    </message>
    <message>
        <source>设备</source>
        <translation>Device</translation>
    </message>
    <message>
        <source>刷新(&amp;R)</source>
        <translation>&amp;Refresh</translation>
    </message>
    <message>
        <source>刷新设备列表</source>
        <translation>Refresh the device list</translation>
    </message>
    <message>
        <source>来源(&amp;O)</source>
        <translation>S&amp;ource</translation>
    </message>
    <message>
        <source>来源</source>
        <translation>Source</translation>
    </message>
    <message>
        <source>颜色(&amp;C)</source>
        <translation>&amp;Colour</translation>
    </message>
    <message>
        <source>颜色</source>
        <translation>Colour</translation>
    </message>
    <message>
        <source>分辨率(&amp;E)</source>
        <translation>R&amp;esolution</translation>
    </message>
    <message>
        <source>分辨率</source>
        <translation>Resolution</translation>
    </message>
    <message>
        <source>纸张大小(&amp;P)</source>
        <translation>&amp;Paper size</translation>
    </message>
    <message>
        <source>纸张大小</source>
        <translation>Paper size</translation>
    </message>
    <message>
        <source>跳过空白页(&amp;K)</source>
        <translation>S&amp;kip blank pages</translation>
    </message>
    <message>
        <source>跳过空白页</source>
        <translation>Skip blank pages</translation>
    </message>
    <message>
        <source>墨迹阈值(&amp;T)</source>
        <translation>Ink &amp;threshold</translation>
    </message>
    <message>
        <source>空白页墨迹阈值（千分比）</source>
        <translation>Ink threshold of a blank page (per mille)</translation>
    </message>
    <message>
        <source>保存到(&amp;S)</source>
        <translation>&amp;Save in</translation>
    </message>
    <message>
        <source>扫描保存文件夹</source>
        <translation>Folder scans are saved in</translation>
    </message>
    <message>
        <source>浏览(&amp;B)...</source>
        <translation>&amp;Browse...</translation>
    </message>
    <message>
        <source>选择扫描保存文件夹</source>
        <translation>Choose the folder scans are saved in</translation>
    </message>
    <message>
        <source>扫描状态</source>
        <translation>Scan status</translation>
    </message>
    <message>
        <source>当前页进度</source>
        <translation>Progress of the page</translation>
    </message>
    <message>
        <source>页数</source>
        <translation>Pages</translation>
    </message>
    <message>
        <source>扫描(&amp;N)</source>
        <translation>Sca&amp;n</translation>
    </message>
    <message>
        <source>停止</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>关闭</source>
        <translation>Close</translation>
    </message>
</context>
<context>
    <name>XML_SETTINGSWND</name>
    <message>
        <source>设置</source>
        <translation>Settings</translation>
    </message>
    <message>
        <source>设置类别</source>
        <translation>Settings categories</translation>
    </message>
    <message>
        <source>常规</source>
        <translation>General</translation>
    </message>
    <message>
        <source>PDF保存位置</source>
        <translation>Where PDFs are saved</translation>
    </message>
    <message>
        <source>默认保存PDF文件的文件夹</source>
        <translation>The folder PDF files are saved to by default</translation>
    </message>
    <message>
        <source>浏览PDF保存位置</source>
        <translation>Browse for the folder PDFs are saved to</translation>
    </message>
    <message>
        <source>浏览...</source>
        <translation>Browse...</translation>
    </message>
    <message>
        <source>“转换为PDF”等命令把生成的PDF文件保存到这个文件夹。</source>
        <translation>“Convert to PDF” and the other commands save the PDF files they make in this folder.</translation>
    </message>
    <message>
        <source>程序</source>
        <translation>Program</translation>
    </message>
    <message>
        <source>不显示顶部的推广信息</source>
        <translation>Hide the promotion at the top</translation>
    </message>
    <message>
        <source>移动多个选中项时按选中的先后顺序排列</source>
        <translation>When moving several selected rows, order them as they were selected</translation>
    </message>
    <message>
        <source>在文件的右键菜单中添加“使用VelmarFolimo”</source>
        <translation>Add “Convert with VelmarFolimo” to the context menu of files</translation>
    </message>
    <message>
        <source>文档信息</source>
        <translation>Document information</translation>
    </message>
    <message>
        <source>标题：</source>
        <translation>Title:</translation>
    </message>
    <message>
        <source>主题：</source>
        <translation>Subject:</translation>
    </message>
    <message>
        <source>作者：</source>
        <translation>Author:</translation>
    </message>
    <message>
        <source>创建者：</source>
        <translation>Creator:</translation>
    </message>
    <message>
        <source>关键字：</source>
        <translation>Keywords:</translation>
    </message>
    <message>
        <source>为每一页添加书签（以图片文件名为标题）</source>
        <translation>Add a bookmark for every page (titled with the picture’s file name)</translation>
    </message>
    <message>
        <source>图片</source>
        <translation>Pictures</translation>
    </message>
    <message>
        <source>图片编码：</source>
        <translation>Picture encoding:</translation>
    </message>
    <message>
        <source>保持原图，不重新编码</source>
        <translation>Keep the original, do not re-encode</translation>
    </message>
    <message>
        <source>灰度 JPEG</source>
        <translation>Greyscale JPEG</translation>
    </message>
    <message>
        <source>原图不能直接使用时：</source>
        <translation>When the original cannot be used as it is:</translation>
    </message>
    <message>
        <source>JPEG质量：</source>
        <translation>JPEG quality:</translation>
    </message>
    <message>
        <source>JPEG质量（%）</source>
        <translation>JPEG quality (%)</translation>
    </message>
    <message>
        <source>最大尺寸：</source>
        <translation>Maximum size:</translation>
    </message>
    <message>
        <source>最大宽度（像素）</source>
        <translation>Maximum width (pixels)</translation>
    </message>
    <message>
        <source>最大高度（像素）</source>
        <translation>Maximum height (pixels)</translation>
    </message>
    <message>
        <source>像素</source>
        <translation>pixels</translation>
    </message>
    <message>
        <source>分辨率：</source>
        <translation>Resolution:</translation>
    </message>
    <message>
        <source>分辨率（DPI）</source>
        <translation>Resolution (DPI)</translation>
    </message>
    <message>
        <source>最大尺寸填0表示不限制；分辨率填0表示保留图片原有的分辨率。PDF文件不重新编码，其页面原样复制。</source>
        <translation>A maximum size of 0 sets no limit; a resolution of 0 keeps the picture’s own. PDF files are not re-encoded: their pages are copied as they are.</translation>
    </message>
    <message>
        <source>页面</source>
        <translation>Page</translation>
    </message>
    <message>
        <source>页面大小：</source>
        <translation>Page size:</translation>
    </message>
    <message>
        <source>与图片大小相同（每页裁成所放图片的大小）</source>
        <translation>Same as the picture (page cut to fit it)</translation>
    </message>
    <message>
        <source>A1 (594 × 840 毫米)</source>
        <translation>A1 (594 × 840 mm)</translation>
    </message>
    <message>
        <source>A2 (420 × 594 毫米)</source>
        <translation>A2 (420 × 594 mm)</translation>
    </message>
    <message>
        <source>A3 (297 × 420 毫米)</source>
        <translation>A3 (297 × 420 mm)</translation>
    </message>
    <message>
        <source>A4 (210 × 297 毫米)</source>
        <translation>A4 (210 × 297 mm)</translation>
    </message>
    <message>
        <source>A5 (149 × 210 毫米)</source>
        <translation>A5 (149 × 210 mm)</translation>
    </message>
    <message>
        <source>A6 (105 × 149 毫米)</source>
        <translation>A6 (105 × 149 mm)</translation>
    </message>
    <message>
        <source>B5 (177 × 250 毫米)</source>
        <translation>B5 (177 × 250 mm)</translation>
    </message>
    <message>
        <source>Letter (216 × 279 毫米)</source>
        <translation>Letter (216 × 279 mm)</translation>
    </message>
    <message>
        <source>Legal (216 × 356 毫米)</source>
        <translation>Legal (216 × 356 mm)</translation>
    </message>
    <message>
        <source>Ledger (432 × 279 毫米)</source>
        <translation>Ledger (432 × 279 mm)</translation>
    </message>
    <message>
        <source>Tabloid (279 × 432 毫米)</source>
        <translation>Tabloid (279 × 432 mm)</translation>
    </message>
    <message>
        <source>左右边距：</source>
        <translation>Left and right margins:</translation>
    </message>
    <message>
        <source>左右边距（点）</source>
        <translation>Left and right margins (points)</translation>
    </message>
    <message>
        <source>点 (1/72英寸)</source>
        <translation>points (1/72 inch)</translation>
    </message>
    <message>
        <source>上下边距：</source>
        <translation>Top and bottom margins:</translation>
    </message>
    <message>
        <source>上下边距（点）</source>
        <translation>Top and bottom margins (points)</translation>
    </message>
    <message>
        <source>排版</source>
        <translation>Layout</translation>
    </message>
    <message>
        <source>横向页面</source>
        <translation>Landscape pages</translation>
    </message>
    <message>
        <source>每页放置两张图片</source>
        <translation>Two pictures on each page</translation>
    </message>
    <message>
        <source>图片缩放到页面内并居中</source>
        <translation>Scale pictures to fit the page and centre them</translation>
    </message>
    <message>
        <source>自动旋转图片以适应页面方向</source>
        <translation>Turn pictures to suit the page’s orientation</translation>
    </message>
    <message>
        <source>水印</source>
        <translation>Watermarks</translation>
    </message>
    <message>
        <source>文字水印</source>
        <translation>Text watermark</translation>
    </message>
    <message>
        <source>文字：</source>
        <translation>Text:</translation>
    </message>
    <message>
        <source>水印文字</source>
        <translation>Watermark text</translation>
    </message>
    <message>
        <source>字号：</source>
        <translation>Font size:</translation>
    </message>
    <message>
        <source>文字水印字号</source>
        <translation>Text watermark font size</translation>
    </message>
    <message>
        <source>透明度：</source>
        <translation>Transparency:</translation>
    </message>
    <message>
        <source>文字水印透明度（%）</source>
        <translation>Text watermark transparency (%)</translation>
    </message>
    <message>
        <source>水平位置：</source>
        <translation>Horizontal position:</translation>
    </message>
    <message>
        <source>文字水印水平位置（点）</source>
        <translation>Text watermark horizontal position (points)</translation>
    </message>
    <message>
        <source>点</source>
        <translation>pt</translation>
    </message>
    <message>
        <source>垂直位置：</source>
        <translation>Vertical position:</translation>
    </message>
    <message>
        <source>文字水印垂直位置（点）</source>
        <translation>Text watermark vertical position (points)</translation>
    </message>
    <message>
        <source>颜色：</source>
        <translation>Colour:</translation>
    </message>
    <message>
        <source>文字水印颜色</source>
        <translation>Text watermark colour</translation>
    </message>
    <message>
        <source>选择文字水印颜色</source>
        <translation>Choose the text watermark colour</translation>
    </message>
    <message>
        <source>选择颜色...</source>
        <translation>Choose colour...</translation>
    </message>
    <message>
        <source>图片水印</source>
        <translation>Picture watermark</translation>
    </message>
    <message>
        <source>图片：</source>
        <translation>Picture:</translation>
    </message>
    <message>
        <source>水印图片</source>
        <translation>Watermark picture</translation>
    </message>
    <message>
        <source>浏览水印图片</source>
        <translation>Browse for the watermark picture</translation>
    </message>
    <message>
        <source>图片水印水平位置（点）</source>
        <translation>Picture watermark horizontal position (points)</translation>
    </message>
    <message>
        <source>图片水印垂直位置（点）</source>
        <translation>Picture watermark vertical position (points)</translation>
    </message>
    <message>
        <source>图片水印透明度（%）</source>
        <translation>Picture watermark transparency (%)</translation>
    </message>
    <message>
        <source>透明度为0时不透明，为100时完全透明；位置从页面左上角算起，单位为点。水印文字中可以使用 %FILENAME%（文件名）、%NUMBER%（页码）、%MDATA%（文件修改日期）。</source>
        <translation>A transparency of 0 is opaque and 100 fully transparent; positions are in points from the top left corner of the page. The watermark text may use %FILENAME% (the file name), %NUMBER% (the page number) and %MDATA% (the file’s modification date).</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>文字识别</source>
        <translation>Text recognition</translation>
    </message>
    <message>
        <source>识别文字</source>
        <translation>Recognise text</translation>
    </message>
    <message>
        <source>在每个图片页面下放一层看不见的识别文字，生成的PDF可以搜索和复制文字。导入的PDF页面不识别。</source>
        <translation>Lays the recognised text, invisible, under every image page, so that the PDF can be searched and its text copied. Pages of imported PDF files are not recognised.</translation>
    </message>
    <message>
        <source>识别的语言：</source>
        <translation>Languages to recognise:</translation>
    </message>
    <message>
        <source>识别的语言</source>
        <translation>Languages to recognise</translation>
    </message>
    <message>
        <source>没有安装文字识别数据。请安装Debian软件包 tesseract-ocr-eng（英语）和 tesseract-ocr-chi-sim（简体中文）。</source>
        <translation>No language data for text recognition is installed. Install the Debian packages tesseract-ocr-eng (English) and tesseract-ocr-chi-sim (Simplified Chinese).</translation>
    </message>
    <message>
        <source>按文字方向将页面转正</source>
        <translation>Turn pages upright by their text</translation>
    </message>
</context>
<context>
    <name>XML_UPDATE</name>
    <message>
        <source>软件更新</source>
        <translation>Software update</translation>
    </message>
    <message>
        <source>VelmarFolimo 软件更新</source>
        <translation>VelmarFolimo software update</translation>
    </message>
    <message>
        <source>下载</source>
        <translation>Download</translation>
    </message>
    <message>
        <source>正在检查更新...</source>
        <translation>Checking for updates...</translation>
    </message>
    <message>
        <source>发现新版本</source>
        <translation>New version found</translation>
    </message>
    <message>
        <source>发现新版本。</source>
        <translation>A new version is available.</translation>
    </message>
    <message>
        <source>立即更新</source>
        <translation>Update now</translation>
    </message>
    <message>
        <source>没有更新</source>
        <translation>No update</translation>
    </message>
    <message>
        <source>当前已是最新版本。</source>
        <translation>This is the latest version.</translation>
    </message>
    <message>
        <source>下载完成</source>
        <translation>Download complete</translation>
    </message>
    <message>
        <source>下载失败</source>
        <translation>Download failed</translation>
    </message>
    <message>
        <source>安装包下载失败，请到更新页面手动下载。</source>
        <translation>The installer could not be downloaded. Please download it from the update page.</translation>
    </message>
    <message>
        <source>打开更新页面</source>
        <translation>Open the update page</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>安装包已下载。</source>
        <translation>The installer has been downloaded.</translation>
    </message>
    <message>
        <source>打开所在文件夹</source>
        <translation>Open the containing folder</translation>
    </message>
</context>
<context>
    <name>menus</name>
    <message>
        <source>添加文件...</source>
        <translation>Add files...</translation>
    </message>
    <message>
        <source>添加文件夹...</source>
        <translation>Add a folder...</translation>
    </message>
    <message>
        <source>添加文件夹（包括子文件夹）...</source>
        <translation>Add a folder with its subfolders...</translation>
    </message>
    <message>
        <source>删除选中的文件</source>
        <translation>Remove the selected files from the list</translation>
    </message>
    <message>
        <source>删除无法读取的文件</source>
        <translation>Remove the files that cannot be read from the list</translation>
    </message>
    <message>
        <source>清空列表</source>
        <translation>Clear the list</translation>
    </message>
    <message>
        <source>设置...</source>
        <translation>Settings...</translation>
    </message>
    <message>
        <source>检查更新...</source>
        <translation>Check for updates...</translation>
    </message>
    <message>
        <source>帮助</source>
        <translation>Help</translation>
    </message>
    <message>
        <source>官方网站</source>
        <translation>Website</translation>
    </message>
    <message>
        <source>关于...</source>
        <translation>About...</translation>
    </message>
    <message>
        <source>合并为一个PDF文件，保存到默认文件夹</source>
        <translation>Combine into one PDF file, in the default folder</translation>
    </message>
    <message>
        <source>每个文件夹生成一个PDF文件，保存到默认文件夹</source>
        <translation>One PDF file per folder, in the default folder</translation>
    </message>
    <message>
        <source>每张图片生成一个PDF文件，保存到默认文件夹</source>
        <translation>One PDF file per picture, in the default folder</translation>
    </message>
    <message>
        <source>合并为一个PDF文件，另存为...</source>
        <translation>Combine into one PDF file, save as...</translation>
    </message>
    <message>
        <source>每个文件夹生成一个PDF文件，保存到指定文件夹...</source>
        <translation>One PDF file per folder, in a folder of your choice...</translation>
    </message>
    <message>
        <source>每张图片生成一个PDF文件，保存到指定文件夹...</source>
        <translation>One PDF file per picture, in a folder of your choice...</translation>
    </message>
    <message>
        <source>每张图片生成一个PDF文件，保存在图片所在的文件夹</source>
        <translation>One PDF file per picture, beside each picture</translation>
    </message>
    <message>
        <source>扫描...</source>
        <translation>Scan...</translation>
    </message>
    <message>
        <source>新建列表</source>
        <translation>New list</translation>
    </message>
</context>
<context>
    <name>strings</name>
    <message>
        <source>请先添加需要转换的图片文件。</source>
        <translation>Please add the picture files to convert first.</translation>
    </message>
    <message>
        <source>请选择需要删除的项。</source>
        <translation>Please select the rows to remove from the list.</translation>
    </message>
    <message>
        <source>请选择图片文件存放的目录</source>
        <translation>Choose the folder that holds the picture files</translation>
    </message>
    <message>
        <source>所有文件 (*.*)</source>
        <translation>All files (*.*)</translation>
    </message>
    <message>
        <source>所有图片文件</source>
        <translation>All picture files</translation>
    </message>
    <message>
        <source>PDF 文件</source>
        <translation>PDF files</translation>
    </message>
    <message>
        <source>检查到软件更新 %s -&gt; %s ,点击更新。</source>
        <translation>An update is available: %s -&gt; %s. Click to update.</translation>
    </message>
    <message>
        <source>向上移动</source>
        <translation>Move up</translation>
    </message>
    <message>
        <source>向下移动</source>
        <translation>Move down</translation>
    </message>
    <message>
        <source>将选中项移动到此项上</source>
        <translation>Move the selected rows above this one</translation>
    </message>
    <message>
        <source>将选中项移动到此项下</source>
        <translation>Move the selected rows below this one</translation>
    </message>
    <message>
        <source>删除</source>
        <translation>Remove from the list</translation>
    </message>
    <message>
        <source>序号</source>
        <translation>No.</translation>
    </message>
    <message>
        <source>文件名</source>
        <translation>File name</translation>
    </message>
    <message>
        <source>路径</source>
        <translation>Path</translation>
    </message>
    <message>
        <source>分辨率</source>
        <translation>Resolution</translation>
    </message>
    <message>
        <source>尺寸</source>
        <translation>Size</translation>
    </message>
    <message>
        <source>创建时间</source>
        <translation>Created</translation>
    </message>
    <message>
        <source>修改时间</source>
        <translation>Modified</translation>
    </message>
    <message>
        <source>完成</source>
        <translation>Done</translation>
    </message>
    <message>
        <source>%d&gt; 开始生成PDF: %s<byte value="xd"/>
</source>
        <translation>%d&gt; Making the PDF: %s<byte value="xd"/>
</translation>
    </message>
    <message>
        <source>%d&gt; 添加文件: %s<byte value="xd"/>
</source>
        <translation>%d&gt; Adding file: %s<byte value="xd"/>
</translation>
    </message>
    <message>
        <source>%d&gt; PDF完成<byte value="xd"/>
</source>
        <translation>%d&gt; PDF done<byte value="xd"/>
</translation>
    </message>
    <message>
        <source><byte value="xd"/>
%d&gt; %s<byte value="xd"/>
<byte value="xd"/>
</source>
        <translation><byte value="xd"/>
%d&gt; %s<byte value="xd"/>
<byte value="xd"/>
</translation>
    </message>
    <message>
        <source>请选择保存PDF文件的目录</source>
        <translation>Choose the folder to save PDF files in</translation>
    </message>
    <message>
        <source>选择水印文字的颜色</source>
        <translation>Choose the colour of the watermark text</translation>
    </message>
    <message>
        <source>请使用管理员权限打开后设置系统右键菜单</source>
        <translation>The context menu entry could not be changed: the folder it is kept in cannot be written.</translation>
    </message>
    <message>
        <source>软件有更新 %s -&gt; %s ,是否更新？</source>
        <translation>An update is available: %s -&gt; %s. Update now?</translation>
    </message>
    <message>
        <source>正在下载安装包...</source>
        <translation>Downloading the installer...</translation>
    </message>
    <message>
        <source>正在检查更新...</source>
        <translation>Checking for updates...</translation>
    </message>
    <message>
        <source>无法连接更新服务器，请稍后再试。</source>
        <translation>Could not reach the update server. Please try again later.</translation>
    </message>
    <message>
        <source>新版本 %s 的安装包已下载到：%s
为了安全，程序不会运行它；请确认来源后自行安装。</source>
        <translation>The installer of version %s has been downloaded to: %s
For safety the program does not run it; check where it comes from before you install it.</translation>
    </message>
    <message>
        <source>向左旋转</source>
        <translation>Turn left</translation>
    </message>
    <message>
        <source>向右旋转</source>
        <translation>Turn right</translation>
    </message>
    <message>
        <source>有些文件已在列表中。是否再次添加？</source>
        <translation>Some of these files are already in the list. Add them again?</translation>
    </message>
</context>
</TS>
