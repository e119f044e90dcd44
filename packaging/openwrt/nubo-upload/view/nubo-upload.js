// SPDX-License-Identifier: MIT
// LuCI's page for the menu entry: the upload page itself, framed, so that
// LuCI's menu stays beside it. The upload page logs in on its own.
'use strict';
'require view';

return view.extend({
	render: function() {
		return E('iframe', { src: '/nubo-upload.html', style: 'width:100%; height:80vh; border:0' });
	},
	handleSave: null,
	handleSaveApply: null,
	handleReset: null
});
