// The station's page: one self-contained HTML document (page.html, compiled
// in). What only a viewer on the station's own machine may use sits between
// <!--local--> and <!--/local-->; the server leaves it out for others.
#pragma once

extern const char *const ui_page_html;
